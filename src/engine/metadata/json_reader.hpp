// The strict JSON reader shared by the metadata text layer and the log codec.
//
// A JsonCursor walks a byte range. Every reading function validates exactly
// what it consumes (number grammar, escapes, UTF-8, container depth) and
// reports failure as `false` / nullptr; nothing throws and nothing is read past
// `end`. Depths count containers: the outermost container of a text is level 1
// and a container at level kMaxMetadataDepth + 1 is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/metadata/metadata.hpp"

namespace orbisk::json {

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A JSON number as the readers classify it: an integer literal that fits 64
// bits unsigned is U64 (including "-0"), a negative one that fits 64 bits
// signed is I64, anything else (fraction, exponent, out of range) is Double.
struct Number {
    enum class Kind : std::uint8_t { U64, I64, Double };
    Kind kind = Kind::U64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0.0;

    double as_double() const {
        switch (kind) {
            case Kind::U64:
                return static_cast<double>(u);
            case Kind::I64:
                return static_cast<double>(i);
            case Kind::Double:
                break;
        }
        return d;
    }
};

struct JsonCursor {
    const char* p;
    const char* end;

    bool at_end() const { return p == end; }
    void skip_ws() {
        while (p != end && is_ws(*p)) ++p;
    }
    // Consumes `c` if it is the next byte.
    bool eat(char c) {
        if (p != end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }

    // At a '"': reads the string and appends its unescaped text to `out`.
    bool read_string(std::string& out);
    // At a '"': reads the string and points `out` at its text: in place when
    // it holds no escape, otherwise at its unescaped text in `scratch`.
    bool read_string_view(std::string& scratch, std::string_view& out);
    // At the first byte of a number: reads it (the bytes that follow are not
    // looked at). A number whose magnitude overflows a double fails.
    bool read_number(Number& out);
    // Reads one value of any kind into `out`. `parent_depth` is the level of
    // the container holding the value (0 at top level).
    bool read_value(MetadataValue& out, int parent_depth);
    // Reads one value as read_value reads it and appends the text
    // append_json_value writes for it, without building arrays, strings or
    // numbers (an object is built: its members are stored sorted and unique).
    // On failure `out` may hold part of the value.
    bool copy_value(std::string& out, int parent_depth);
    // Validates and steps over one value of any kind, as read_value would
    // accept it, without building anything.
    bool skip_value(int parent_depth);
};

// Whether `text` is one JSON value, at the level below `parent_depth`, whose
// stored text is the text itself: arrays, literals, integers of up to 18
// digits (not "-0") and strings of UTF-8 without escapes or control bytes,
// with no white space. copy_value then copies it unchanged, so it may be
// copied as it lies. False says nothing about the text.
bool is_stored_form(std::string_view text, int parent_depth);

// Validates one value starting exactly at `p` (no leading whitespace) and
// returns the position after it, or nullptr. No delimiter rule is applied
// after a bare number or literal.
const char* skip_json_value(const char* p, const char* end, int parent_depth);

}  // namespace orbisk::json
