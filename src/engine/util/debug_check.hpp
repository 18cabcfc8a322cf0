// ORBISK_DCHECK(condition): an invariant the code relies on, checked in the
// test build of the engine (ORBISK_DEBUG_CHECKS, which CMake sets for the
// engine tests and the probe module together with _GLIBCXX_ASSERTIONS) and
// compiled out of the module. A failed check names itself on stderr and aborts:
// it marks a fault in this code, never bad input, which is always an error value.
//
// Outside the test build the condition is still compiled (so it cannot rot)
// but never evaluated.
#pragma once

#ifdef ORBISK_DEBUG_CHECKS
namespace orbisk::detail {
[[noreturn]] void debug_check_failed(const char* condition, const char* file, int line) noexcept;
}  // namespace orbisk::detail
#define ORBISK_DCHECK(condition)                                                                \
    do {                                                                                        \
        if (!(condition)) ::orbisk::detail::debug_check_failed(#condition, __FILE__, __LINE__); \
    } while (false)
#else
#define ORBISK_DCHECK(condition)      \
    do {                              \
        if (false) (void)(condition); \
    } while (false)
#endif
