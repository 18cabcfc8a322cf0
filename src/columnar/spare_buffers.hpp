// The buffers of the last large append, kept a short while for the next one.
//
// An append of a million rows converts them into about a hundred megabytes of
// new buffers: the operating system hands each of their pages over on first
// touch, zeroed, and takes them back when the buffers go, which costs about a
// tenth of the call. Appends often come one after the other (a file imported
// chunk by chunk, a loader's loop): the next one takes the buffers of the
// last, whose pages are at hand. Kept buffers are freed by a thread of their
// own once none has taken them for kKeepSpareFor, and buffers too large to
// keep are freed at once (on that thread as well, after the call returns).
// Only the process that loaded the module keeps buffers, not a child it forks.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "engine/database.hpp"

namespace orbisk::columnar {

inline constexpr std::chrono::milliseconds kKeepSpareFor{2000};
// Buffers of more bytes than this in all are not kept.
inline constexpr std::size_t kKeepSpareBytes = std::size_t{512} << 20;

// The buffers kept from an earlier append (emptied), or none.
std::vector<PointBatch> take_spare_buffers();
// Keeps `parts` for the next append (emptied first), in place of any kept
// before, or frees them when they are small or too large to keep.
void keep_spare_buffers(std::vector<PointBatch> parts);

}  // namespace orbisk::columnar
