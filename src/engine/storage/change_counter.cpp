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

}  // namespace orbisk
