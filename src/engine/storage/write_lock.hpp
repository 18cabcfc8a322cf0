// The handle's writer lock: a process-local mutex plus, for a store on a path,
// an exclusive lock over the whole lock file, which keeps out writers of other
// handles, in this process or in others. It is the first lock a writer takes
// (see Database for the order of the others).
#pragma once

#include <mutex>

#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"
#include "engine/util/thread_annotations.hpp"

namespace orbisk {

class CAPABILITY("write lock") WriteLock {
public:
    // A temporary store (no file): the mutex only.
    WriteLock() = default;
    explicit WriteLock(File lock_file) : file_(std::move(lock_file)) {}

    // The mutex, then the file lock (blocking). On failure nothing is held.
    Status lock() ACQUIRE();
    // Unlocks the file (ignoring failures), then the mutex.
    void unlock() RELEASE();

private:
    std::mutex mutex_;
    File file_;
};

// Holds a WriteLock for one scope. Taking the file lock can fail: the guard
// then holds nothing and `status` says why, and the caller returns at once.
class SCOPED_CAPABILITY WriteGuard {
public:
    explicit WriteGuard(WriteLock& lock) ACQUIRE(lock) : lock_(&lock), status_(lock.lock()) {
        if (!status_) lock_ = nullptr;
    }
    ~WriteGuard() RELEASE() {
        if (lock_) lock_->unlock();
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    const Status& status() const { return status_; }

private:
    WriteLock* lock_;
    Status status_;
};

}  // namespace orbisk
