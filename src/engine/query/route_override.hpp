// A hook that forces the route of the metadata scans and the spatial queries,
// for tests that hold every route against one oracle.
//
// The engine the module is built from always chooses a route by its estimated
// cost, and forced_route() is a constant there. Only the test build of the
// engine (ORBISK_FAULT_INJECTION defined, as for the file layer's failure
// hook) lets a test force one: Scan reads every live record (a metadata scan)
// or the grid's candidates (a spatial query) and tests them; Index takes the
// candidates the metadata indexes give whenever they give any, after asking
// every condition they answer.
#pragma once

#include <cstdint>

namespace orbisk {

enum class ForcedRoute : std::uint8_t { None, Scan, Index };

#ifdef ORBISK_FAULT_INJECTION
ForcedRoute forced_route();
void force_route(ForcedRoute route);
#else
constexpr ForcedRoute forced_route() { return ForcedRoute::None; }
#endif

}  // namespace orbisk
