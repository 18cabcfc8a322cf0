// The store's change counter: a 64-bit number at offset 0 of the lock file,
// mapped shared by every handle of the store in every process, so that a
// handle sees without a system call whether another one has changed the store
// since it last looked. Writers move it on while they hold the write lock,
// before they touch any file, so that a writer killed halfway is noticed too.
//
// The low 32 bits count changes that only append (inserts, batches, flushes);
// a change that may rewrite what is already stored (a delete, a compaction)
// adds kRewriteStep instead. A handle whose last seen value has the same high
// part knows that its slots are untouched and can catch up on the appends
// alone. A wrap of the low part carries into the high part, which costs a full
// reload and nothing else.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"

namespace orbisk {

static_assert(std::endian::native == std::endian::little, "the counter is stored little-endian");

inline constexpr std::uint64_t kCounterBytes = 8;
inline constexpr std::uint64_t kAppendStep = 1;
inline constexpr std::uint64_t kRewriteStep = std::uint64_t{1} << 32;

// Whether a store that was at `seen` and is now at `now` has had only appends.
inline bool only_appends_between(std::uint64_t seen, std::uint64_t now) { return (seen >> 32) == (now >> 32); }

class ChangeCounter {
public:
    // No counter: a handle that watches the store through a CounterWatch.
    ChangeCounter() = default;
    // Maps the counter of an open lock file, extending a shorter file (an empty
    // one reads as 0). The caller holds the file lock.
    static Result<ChangeCounter> map(File& lock_file);

    std::uint64_t load() const { return ref().load(std::memory_order_acquire); }
    // Adds `step` and returns the new value.
    std::uint64_t advance(std::uint64_t step) { return ref().fetch_add(step, std::memory_order_acq_rel) + step; }

private:
    explicit ChangeCounter(SharedBytes bytes) : bytes_(std::move(bytes)) {}
    std::atomic_ref<std::uint64_t> ref() const { return std::atomic_ref<std::uint64_t>(*word()); }
    std::uint64_t* word() const { return static_cast<std::uint64_t*>(bytes_.data()); }

    SharedBytes bytes_;
};

// The counter as a handle that never writes sees it: the lock file is opened
// for reading only, and only once it exists; its counter is mapped for
// reading once the file holds it. Until then the counter reads as 0 (a store
// on read-only media has no writer, and its counter never moves). Each look
// before that costs a system call; after it none.
class CounterWatch {
public:
    explicit CounterWatch(std::string lock_path) : path_(std::move(lock_path)) {}

    std::uint64_t load();
    // The lock file, opened when it exists, for the shared lock of an open; nullptr when it does not.
    File* lock_file();

private:
    std::mutex mutex_;
    std::string path_;
    File file_;
    SharedBytes bytes_;
    std::atomic<std::uint64_t*> word_{nullptr};
};

}  // namespace orbisk
