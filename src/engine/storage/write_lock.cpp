#include "engine/storage/write_lock.hpp"

namespace orbisk {

Status WriteLock::lock() {
    mutex_.lock();
    if (file_.is_open()) {
        if (auto st = file_.lock_exclusive(); !st) {
            mutex_.unlock();
            return st;
        }
    }
    return {};
}

void WriteLock::unlock() {
    if (file_.is_open()) file_.unlock();
    mutex_.unlock();
}

}  // namespace orbisk
