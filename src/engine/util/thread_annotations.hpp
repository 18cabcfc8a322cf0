// Threading contracts written on the declarations: which lock guards a member
// (GUARDED_BY), which locks a function needs or takes (REQUIRES, ACQUIRE, ...),
// and in which order locks are taken (ACQUIRED_BEFORE). Under clang they are
// its thread-safety attributes, which `-Wthread-safety` checks (see
// scripts/sanitize.sh); under GCC they expand to nothing and are read as
// documentation.
//
// The checker knows only annotated lock types, so the engine's reader/writer
// locks are the SharedMutex below, held through WriterLock and ReaderLock, and
// plain mutexes are Mutex, held through MutexLock.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define ORBISK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORBISK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORBISK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORBISK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORBISK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ORBISK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ORBISK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ORBISK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ORBISK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) ORBISK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) ORBISK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) ORBISK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) ORBISK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ORBISK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) ORBISK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ORBISK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace orbisk {

// A mutex the checker knows.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }

private:
    friend class MutexLock;
    std::mutex m_;
};

// Holds a Mutex for one scope; `native` serves a condition variable's wait,
// which gives the mutex up and takes it back before it returns.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : lock_(m.m_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

// A reader/writer lock the checker knows.
class CAPABILITY("mutex") SharedMutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

private:
    std::shared_mutex m_;
};

// Holds a SharedMutex exclusively for one scope, or until `unlock`.
class SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& m) ACQUIRE(m) : m_(&m) { m.lock(); }
    ~WriterLock() RELEASE() {
        if (m_) m_->unlock();
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    void unlock() RELEASE() {
        m_->unlock();
        m_ = nullptr;
    }

private:
    SharedMutex* m_;
};

// Holds a SharedMutex shared for one scope.
class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m.lock_shared(); }
    ~ReaderLock() RELEASE() { m_.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& m_;
};

}  // namespace orbisk
