#include "engine/storage/write_lock.hpp"

namespace orbisk {

// The checker cannot see the mutex and the file lock as the one capability
// they are together.
Status WriteLock::lock() NO_THREAD_SAFETY_ANALYSIS {
    mutex_.lock();
    if (file_.is_open()) {
        if (auto st = file_.lock_exclusive(); !st) {
            mutex_.unlock();
            return st;
        }
    }
    return {};
}

void WriteLock::unlock() NO_THREAD_SAFETY_ANALYSIS {
    if (file_.is_open()) file_.unlock();
    mutex_.unlock();
}

}  // namespace orbisk
