// Freeing large buffers after the call that used them has returned.
//
// Giving back the memory of a large buffer (tens of megabytes: the pages
// unmapped, every thread's view of them dropped) takes milliseconds. A call
// that is done with such buffers hands them here, and returns while a thread
// of their own frees them; small ones, or when no thread can be started, are
// freed at once.
#pragma once

#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace orbisk {

// Below this many bytes a buffer is freed where it is given up.
inline constexpr std::size_t kFreeLaterBytes = 4 << 20;

// Takes `value` and destroys it on another thread when `bytes` (what it
// holds) is large; otherwise here.
template <class T>
void free_later(T value, std::size_t bytes) {
    if (bytes < kFreeLaterBytes) return;
    try {
        std::thread([v = std::move(value)]() mutable { T gone = std::move(v); }).detach();
    } catch (const std::system_error&) {
        // Freed here, as the thread's argument goes.
    } catch (const std::bad_alloc&) {}
}

}  // namespace orbisk
