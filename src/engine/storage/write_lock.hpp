// The handle's writer lock: a process-local mutex plus, for a store on a path,
// an exclusive lock over the whole lock file, which keeps out writers of other
// handles, in this process or in others.
#pragma once

#include <mutex>

#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"

namespace orbisk {

class WriteLock {
public:
    WriteLock() = default;  // a temporary store: the mutex only
    explicit WriteLock(File lock_file) : file_(std::move(lock_file)) {}

    // The mutex, then the file lock (blocking). On failure nothing is held.
    Status lock();
    // Unlocks the file (ignoring failures), then the mutex.
    void unlock();

private:
    std::mutex mutex_;
    File file_;
};

// Holds a WriteLock for one scope.
class WriteGuard {
public:
    static Result<WriteGuard> acquire(WriteLock& lock) {
        if (auto st = lock.lock(); !st) return fail(st.error());
        return WriteGuard(lock);
    }
    WriteGuard(WriteGuard&& o) noexcept : lock_(o.lock_) { o.lock_ = nullptr; }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
        if (lock_) lock_->unlock();
    }

private:
    explicit WriteGuard(WriteLock& lock) : lock_(&lock) {}
    WriteLock* lock_;
};

}  // namespace orbisk
