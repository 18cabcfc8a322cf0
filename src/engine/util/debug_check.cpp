#include "engine/util/debug_check.hpp"

#ifdef ORBISK_DEBUG_CHECKS
#include <cstdio>
#include <cstdlib>

namespace orbisk::detail {

void debug_check_failed(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace orbisk::detail
#endif
