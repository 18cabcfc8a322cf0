#include "engine/index/value_keys.hpp"

#include <cstring>

#include "engine/metadata/json_reader.hpp"

namespace orbisk {

namespace {

void append_integer(std::string& out, std::int64_t i) {
    out += 'i';
    char bytes[sizeof i];
    std::memcpy(bytes, &i, sizeof i);
    out.append(bytes, sizeof i);
}

// One member's value at the cursor: its kind, with the value key appended to
// `out` when it has one.
KeyValueKind read_member_value(json::JsonCursor& c, std::string& out, std::string& scratch) {
    if (c.at_end()) return KeyValueKind::Unreadable;
    switch (*c.p) {
        case '"': {
            std::string_view s;
            if (!c.read_string_view(scratch, s)) return KeyValueKind::Unreadable;
            out += 's';
            out += s;
            return KeyValueKind::Indexed;
        }
        case '[':
            return c.skip_value(1) ? KeyValueKind::Array : KeyValueKind::Unreadable;
        case '{':
            return c.skip_value(1) ? KeyValueKind::Unindexed : KeyValueKind::Unreadable;
        case 't':
        case 'f':
        case 'n': {
            const char first = *c.p;
            if (!c.skip_value(1)) return KeyValueKind::Unreadable;
            out += first;
            return KeyValueKind::Indexed;
        }
        default: {
            json::Number n;
            if (!c.read_number(n)) return KeyValueKind::Unreadable;
            if (n.kind == json::Number::Kind::I64) {
                append_integer(out, n.i);
                return KeyValueKind::Indexed;
            }
            if (n.kind == json::Number::Kind::U64 && n.u <= static_cast<std::uint64_t>(INT64_MAX)) {
                append_integer(out, static_cast<std::int64_t>(n.u));
                return KeyValueKind::Indexed;
            }
            return KeyValueKind::Unindexed;
        }
    }
}

}  // namespace

bool append_value_key(const MetadataValue& v, std::string& out) {
    if (v.is_null()) {
        out += 'n';
    } else if (const auto* b = std::get_if<bool>(&v.v)) {
        out += *b ? 't' : 'f';
    } else if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
        if (*u > static_cast<std::uint64_t>(INT64_MAX)) return false;
        append_integer(out, static_cast<std::int64_t>(*u));
    } else if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
        append_integer(out, *i);
    } else if (const auto* s = std::get_if<std::string>(&v.v)) {
        out += 's';
        out += *s;
    } else {
        return false;
    }
    return true;
}

bool value_key(const MetadataValue& v, std::string& out) {
    out.clear();
    return append_value_key(v, out);
}

KeyValueKind read_value_key(std::string_view text, std::string_view key, std::string& out) {
    json::JsonCursor c{text.data(), text.data() + text.size()};
    const std::size_t start = out.size();
    KeyValueKind found = KeyValueKind::Missing;
    std::string scratch;  // for texts with escapes only
    c.skip_ws();
    if (!c.eat('{')) return KeyValueKind::Unreadable;
    c.skip_ws();
    bool closed = c.eat('}');
    while (!closed) {
        if (c.at_end() || *c.p != '"') break;
        std::string_view name;
        if (!c.read_string_view(scratch, name)) break;
        const bool wanted = name == key;
        c.skip_ws();
        if (!c.eat(':')) break;
        c.skip_ws();
        if (wanted) {
            out.resize(start);  // a repeated key: the last value wins
            found = read_member_value(c, out, scratch);
            if (found == KeyValueKind::Unreadable) break;
        } else if (!c.skip_value(1)) {
            break;
        }
        c.skip_ws();
        if (c.eat(',')) {
            c.skip_ws();
            continue;
        }
        closed = c.eat('}');
        if (!closed) break;
    }
    if (closed) {
        c.skip_ws();
        if (c.at_end()) return found;
    }
    out.resize(start);
    return KeyValueKind::Unreadable;
}

bool text_holds_value_key(std::string_view text, std::string_view key, std::string_view value_key) {
    thread_local std::string found;
    found.clear();
    return read_value_key(text, key, found) == KeyValueKind::Indexed && found == value_key;
}

}  // namespace orbisk
