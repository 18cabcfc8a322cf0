// Value keys: how the value index names a scalar metadata value, as bytes (a
// kind byte, then the value): 'n' null, 't' true, 'f' false, 'i' and the 8
// bytes of a signed 64-bit integer (non-negative integers up to 2^63 - 1 and
// negative ones share the space), 's' and the bytes of a string. Doubles,
// integers of 2^63 and above, arrays and objects have none: equality is strict,
// so no indexed value equals them.
//
// A value key is made from a MetadataValue, or read straight from a stored
// text without building the record (the builds and the index's confirmation of
// a slot read one key of many records).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/metadata/metadata.hpp"

namespace orbisk {

// Appends the value key of `v` to `out`, or returns false (and leaves `out`
// as it was) for a value without one.
bool append_value_key(const MetadataValue& v, std::string& out);
// The value key of `v` in `out` (cleared first), or false.
bool value_key(const MetadataValue& v, std::string& out);

// What a stored text holds under one top-level key, as the value index sees it.
enum class KeyValueKind : std::uint8_t {
    Unreadable,  // the text is not readable metadata (the record reads as absent)
    Missing,     // readable, without the key
    Array,       // the key holds an array
    Unindexed,   // the key holds a double, an integer of 2^63 or above, or an object
    Indexed,     // the key holds a value with a value key
};

// Reads `text` as metadata_from_json_text would (with the same verdict on
// readability, and the last of repeated keys winning) and tells what it holds
// under `key`. For Indexed, the value key is appended to `out`; otherwise `out`
// is left as it was.
KeyValueKind read_value_key(std::string_view text, std::string_view key, std::string& out);

// Whether a stored text is readable and holds, under `key`, the value whose
// encoded value key is `value_key`.
bool text_holds_value_key(std::string_view text, std::string_view key, std::string_view value_key);

}  // namespace orbisk
