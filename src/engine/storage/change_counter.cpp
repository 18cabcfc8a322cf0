#include "engine/storage/change_counter.hpp"

namespace orbisk {

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "the counter is shared between processes");

Result<ChangeCounter> ChangeCounter::map(File& lock_file) {
    auto len = lock_file.length();
    if (!len) return fail(len.error());
    if (*len < kCounterBytes)
        if (auto st = lock_file.set_length(kCounterBytes); !st) return fail(st.error());
    auto bytes = SharedBytes::map(lock_file, kCounterBytes);
    if (!bytes) return fail(bytes.error());
    return ChangeCounter(std::move(*bytes));
}

File* CounterWatch::lock_file() {
    std::lock_guard lock(mutex_);
    if (!file_.is_open())
        if (auto f = File::open(path_, O_RDONLY)) file_ = std::move(*f);
    return file_.is_open() ? &file_ : nullptr;
}

std::uint64_t CounterWatch::load() {
    if (std::uint64_t* w = word_.load(std::memory_order_acquire))
        return std::atomic_ref<std::uint64_t>(*w).load(std::memory_order_acquire);
    std::lock_guard lock(mutex_);
    if (!file_.is_open()) {
        auto f = File::open(path_, O_RDONLY);
        if (!f) return 0;
        file_ = std::move(*f);
    }
    auto len = file_.length();
    if (!len || *len < kCounterBytes) return 0;
    auto bytes = SharedBytes::map_read_only(file_, kCounterBytes);
    if (!bytes) return 0;
    bytes_ = std::move(*bytes);
    auto* w = static_cast<std::uint64_t*>(bytes_.data());
    word_.store(w, std::memory_order_release);
    return std::atomic_ref<std::uint64_t>(*w).load(std::memory_order_acquire);
}

}  // namespace orbisk
