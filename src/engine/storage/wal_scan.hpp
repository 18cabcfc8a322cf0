// Reading the write-ahead log front to back: the record framing and the rules
// that end the usable log. The replay at open applies what it yields; the
// open's check of the committed coordinates looks in it for deletes that were
// cut short.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/storage/wal_record.hpp"
#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"

namespace orbisk {

// Calls on_record for each good record among the bytes of `log` from `from`
// (a record boundary) to `len`, in file order, with the offset it starts at,
// up to the first record that is torn, damaged or does not decode: that is the
// end of the usable log, not an error. Returns the offset just past the last
// good record. A failed read, or a failure that on_record returns, ends the
// scan with that error.
Result<std::uint64_t> scan_wal(const File& log, std::uint64_t len,
                               const std::function<Status(const WalRecord&, std::uint64_t)>& on_record,
                               std::uint64_t from = 0);

}  // namespace orbisk
