// The metadata value model and its compact JSON text.
//
// A point's metadata is a JSON object. In memory it is a MetadataMap (top level)
// whose values are MetadataValues; on disk and in the log it is the compact JSON
// text produced by metadata_to_json_text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orbisk {

// Containers nested deeper than this (the top-level object is level 1) are
// neither stored nor read.
inline constexpr int kMaxMetadataDepth = 127;

struct MetadataValue;
using MetadataArray = std::vector<MetadataValue>;
// Members of a nested object: keys unique, in ascending byte-wise order
// (a key that is a prefix of another sorts first).
using MetadataObject = std::vector<std::pair<std::string, MetadataValue>>;

struct MetadataValue {
    // monostate is Null. uint64_t holds integers >= 0, int64_t holds integers < 0
    // only, double holds finite doubles only.
    using Variant = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, MetadataArray,
                                 MetadataObject>;
    Variant v;

    MetadataValue() = default;
    template <class T>
    requires std::is_constructible_v<Variant, T&&> &&
        (!std::is_same_v<std::remove_cvref_t<T>, MetadataValue>)MetadataValue(T&& x)
        : v(std::forward<T>(x)) {}

    bool is_null() const { return std::holds_alternative<std::monostate>(v); }
    friend bool operator==(const MetadataValue&, const MetadataValue&) = default;
};

// One point's top-level metadata: keys unique. Iteration order is the order in
// which keys were first inserted (callers must not rely on any order).
class MetadataMap {
public:
    using Entry = std::pair<std::string, MetadataValue>;
    using const_iterator = std::vector<Entry>::const_iterator;

    MetadataMap();
    MetadataMap(const MetadataMap&);
    MetadataMap(MetadataMap&&) noexcept;
    MetadataMap& operator=(const MetadataMap&);
    MetadataMap& operator=(MetadataMap&&) noexcept;
    ~MetadataMap();

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    void reserve(std::size_t n) { entries_.reserve(n); }

    const MetadataValue* find(std::string_view key) const;
    // Adds the key, or replaces the value of an equal key already present (which
    // keeps its position).
    void insert_or_assign(std::string key, MetadataValue value);

    // Equal when both hold the same keys with equal values, whatever the order.
    friend bool operator==(const MetadataMap& a, const MetadataMap& b);

private:
    friend struct MetadataTextReader;
    // For the text reader, which parses each value in place: the value of
    // `key`, appended as null when the key is new.
    MetadataValue& value_slot(std::string&& key);

    struct HashIndex;
    std::vector<Entry> entries_;
    std::unique_ptr<HashIndex> index_;  // built once the map is large
};

// The stored text: compact JSON object, no whitespace, top-level members in the
// map's iteration order, nested members in key order, doubles in shortest
// round-trip form with a fraction or exponent, strings with standard escaping.
std::string metadata_to_json_text(const MetadataMap& map);
void append_json_value(std::string& out, const MetadataValue& value);
void append_json_string(std::string& out, std::string_view s);
// Whether `s` is ASCII holding no byte a JSON string escapes: its JSON string
// is then itself between quotes.
bool plain_json_ascii(std::string_view s);
// Shortest round-trip form, always with a fraction or exponent. `d` is finite.
void append_json_double(std::string& out, double d);
// The same written at `out`, which has room for kJsonDoubleMax bytes; returns the end.
inline constexpr std::size_t kJsonDoubleMax = 32;
char* write_json_double(char* out, double d);

// Reads stored text back. Nothing when the text is not one readable JSON object
// (after optional leading whitespace, with only whitespace after it, at most
// kMaxMetadataDepth levels of containers).
std::optional<MetadataMap> metadata_from_json_text(std::string_view text);
// The same reading, keeping only the members whose key is one of `keys`: the
// rest is checked as strictly but not built. Nothing exactly when
// metadata_from_json_text gives nothing.
std::optional<MetadataMap> metadata_subset_from_json_text(std::string_view text, std::span<const std::string> keys);

// Whether metadata_from_json_text would read the text, found without building
// anything.
bool metadata_text_readable(std::string_view text);

// Reads one complete JSON value (of any kind) from the front of `text`, after
// skipping JSON whitespace, and returns the number of bytes consumed including
// that whitespace. A bare number or literal must be followed by whitespace, one
// of `"` `,` `:` `[` `]` `{` `}` or the end of `text`. Nothing when no value can
// be read.
std::optional<std::size_t> scan_json_value(std::string_view text);

// A coordinate as validation messages show it: shortest round-trip decimal,
// never in exponent notation, no fraction when integral ("90", "0.0001"),
// "NaN", "inf", "-inf".
std::string format_coordinate(double d);

}  // namespace orbisk
