#include "engine/query/route_override.hpp"

#ifdef ORBISK_FAULT_INJECTION
#include <atomic>

namespace orbisk {

namespace {
std::atomic<ForcedRoute> forced{ForcedRoute::None};
}  // namespace

ForcedRoute forced_route() { return forced.load(std::memory_order_relaxed); }
void force_route(ForcedRoute route) { forced.store(route, std::memory_order_relaxed); }

}  // namespace orbisk
#endif
