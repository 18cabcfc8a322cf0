// The structures of the Arrow C data interface and C stream interface, as
// Arrow's format documentation fixes them (an ABI that every Arrow
// implementation shares), with the small helpers both directions use: the
// field metadata encoding and the extension names this package reads and writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace orbisk::columnar {

inline constexpr std::string_view kExtensionName = "ARROW:extension:name";
inline constexpr std::string_view kExtensionMetadata = "ARROW:extension:metadata";
inline constexpr std::string_view kJsonExtension = "arrow.json";
inline constexpr std::string_view kWkbExtension = "geoarrow.wkb";
inline constexpr std::string_view kPointExtension = "geoarrow.point";
// The coordinate system of every geometry this package writes.
inline constexpr std::string_view kCrs84Metadata = R"({"crs":"OGC:CRS84","crs_type":"authority_code"})";
// A field this package wrote that is not metadata: the ids ("id") and the
// metadata that did not fit its typed column ("rest"). Read back by append.
inline constexpr std::string_view kRoleKey = "orbisk:role";

using FieldMetadata = std::vector<std::pair<std::string, std::string>>;

// The C data interface's metadata bytes: an int32 count, then for each pair
// an int32 length and the key, an int32 length and the value (native order).
std::string encode_field_metadata(const FieldMetadata& pairs);
// The pairs of such bytes (nullptr: none); nothing when they are malformed.
std::optional<FieldMetadata> decode_field_metadata(const char* bytes);
// The value of `key` in a field's metadata, if any.
std::optional<std::string> field_metadata_value(const char* bytes, std::string_view key);

}  // namespace orbisk::columnar
