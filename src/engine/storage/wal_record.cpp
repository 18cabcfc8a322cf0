#include "engine/storage/wal_record.hpp"

#include <charconv>

#include "engine/metadata/json_reader.hpp"
#include "engine/metadata/metadata.hpp"

namespace orbisk {

namespace {

void append_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

using json::JsonCursor;

// Reads the members of an object whose '{' is next, calling on_member(key)
// with the cursor at the member's value (whitespace skipped); on_member reads
// the value and returns false to fail.
template <class OnMember>
bool read_object(JsonCursor& c, std::string& key, OnMember&& on_member) {
    if (!c.eat('{')) return false;
    c.skip_ws();
    if (c.eat('}')) return true;
    for (;;) {
        if (c.at_end() || *c.p != '"') return false;
        key.clear();
        if (!c.read_string(key)) return false;
        c.skip_ws();
        if (!c.eat(':')) return false;
        c.skip_ws();
        if (c.at_end() || !on_member(std::string_view(key))) return false;
        c.skip_ws();
        if (c.eat(',')) {
            c.skip_ws();
            continue;
        }
        return c.eat('}');
    }
}

bool read_u64(JsonCursor& c, std::uint64_t& out) {
    json::Number n;
    if (!c.read_number(n) || n.kind != json::Number::Kind::U64) return false;
    out = n.u;
    return true;
}

bool read_double(JsonCursor& c, double& out) {
    json::Number n;
    if (!c.read_number(n)) return false;
    out = n.as_double();
    return true;
}

// Container levels: the record is 1, op 2, the variant's fields 3.
constexpr int kRecordLevel = 1;
constexpr int kFieldsLevel = 3;

bool read_insert(JsonCursor& c, std::string& key, WalInsert& ins) {
    bool have_lat = false, have_lon = false, have_meta = false;
    const bool ok = read_object(c, key, [&](std::string_view k) {
        if (k == "lat") {
            if (have_lat) return false;
            have_lat = true;
            return read_double(c, ins.lat);
        }
        if (k == "lon") {
            if (have_lon) return false;
            have_lon = true;
            return read_double(c, ins.lon);
        }
        if (k == "meta_json") {
            if (have_meta || *c.p != '"') return false;
            have_meta = true;
            return c.read_string(ins.meta_json);
        }
        return c.skip_value(kFieldsLevel);
    });
    return ok && have_lat && have_lon && have_meta;
}

bool read_ids(JsonCursor& c, std::vector<std::uint64_t>& ids) {
    if (!c.eat('[')) return false;
    c.skip_ws();
    if (c.eat(']')) return true;
    for (;;) {
        if (c.at_end() || !read_u64(c, ids.emplace_back())) return false;
        c.skip_ws();
        if (c.eat(',')) {
            c.skip_ws();
            continue;
        }
        return c.eat(']');
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The previous records of a Delete. Anything but an array of 32-digit hex
// strings is stepped over as any value and read as no records: the key is an
// addition that every reader may ignore, so it never fails the record.
bool read_prev(JsonCursor& c, std::string& text, std::vector<CoordBytes>& prev, bool& usable) {
    if (*c.p != '[') {
        usable = false;
        return c.skip_value(kFieldsLevel);
    }
    ++c.p;
    c.skip_ws();
    if (c.eat(']')) return true;
    for (;;) {
        if (c.at_end()) return false;
        if (*c.p != '"') {
            usable = false;
            if (!c.skip_value(kFieldsLevel + 1)) return false;
        } else {
            text.clear();
            if (!c.read_string(text)) return false;
            CoordBytes rec{};
            bool ok = text.size() == 2 * rec.size();
            for (std::size_t i = 0; ok && i < rec.size(); ++i) {
                const int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
                ok = hi >= 0 && lo >= 0;
                rec[i] = static_cast<std::uint8_t>(hi << 4 | lo);
            }
            if (ok)
                prev.push_back(rec);
            else
                usable = false;
        }
        c.skip_ws();
        if (c.eat(',')) {
            c.skip_ws();
            continue;
        }
        return c.eat(']');
    }
}

bool read_delete(JsonCursor& c, std::string& key, WalDelete& del) {
    bool have_ids = false;
    int prev_seen = 0;
    bool prev_usable = true;
    std::string text;
    const bool ok = read_object(c, key, [&](std::string_view k) {
        if (k == "ids") {
            if (have_ids) return false;
            have_ids = true;
            return read_ids(c, del.ids);
        }
        if (k == "prev_coords") {
            ++prev_seen;
            return read_prev(c, text, del.prev, prev_usable);
        }
        return c.skip_value(kFieldsLevel);
    });
    if (prev_seen != 1 || !prev_usable || del.prev.size() != del.ids.size()) del.prev.clear();
    return ok && have_ids;
}

// The op object: exactly one member, named after the variant.
bool read_op(JsonCursor& c, std::string& key, std::variant<WalInsert, WalDelete>& op) {
    int members = 0;
    const bool ok = read_object(c, key, [&](std::string_view k) {
        if (++members > 1) return false;
        if (k == "Insert") return read_insert(c, key, op.emplace<WalInsert>());
        if (k == "Delete") return read_delete(c, key, op.emplace<WalDelete>());
        return false;
    });
    return ok && members == 1;
}

}  // namespace

void append_insert_payload(std::string& out, std::uint64_t seq, double lat, double lon, std::string_view meta_json) {
    out.append("{\"seq\":");
    append_u64(out, seq);
    out.append(",\"op\":{\"Insert\":{\"lat\":");
    append_json_double(out, lat);
    out.append(",\"lon\":");
    append_json_double(out, lon);
    out.append(",\"meta_json\":");
    append_json_string(out, meta_json);
    out.append("}}}");
}

void append_delete_payload(std::string& out, std::uint64_t seq, std::span<const std::uint64_t> ids,
                           std::span<const CoordBytes> prev) {
    out.append("{\"seq\":");
    append_u64(out, seq);
    out.append(",\"op\":{\"Delete\":{\"ids\":[");
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i) out.push_back(',');
        append_u64(out, ids[i]);
    }
    out.push_back(']');
    if (!prev.empty()) {
        static constexpr char kHex[] = "0123456789abcdef";
        out.append(",\"prev_coords\":[");
        for (std::size_t i = 0; i < prev.size(); ++i) {
            if (i) out.push_back(',');
            out.push_back('"');
            for (std::uint8_t b : prev[i]) {
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 15]);
            }
            out.push_back('"');
        }
        out.push_back(']');
    }
    out.append("}}}");
}

std::optional<WalRecord> decode_wal_payload(std::string_view payload) {
    JsonCursor c{payload.data(), payload.data() + payload.size()};
    WalRecord rec{0, WalDelete{}};
    std::string key;
    bool have_seq = false, have_op = false;
    c.skip_ws();
    const bool ok = read_object(c, key, [&](std::string_view k) {
        if (k == "seq") {
            if (have_seq) return false;
            have_seq = true;
            return read_u64(c, rec.seq);
        }
        if (k == "op") {
            if (have_op) return false;
            have_op = true;
            return read_op(c, key, rec.op);
        }
        return c.skip_value(kRecordLevel);
    });
    if (!ok || !have_seq || !have_op) return std::nullopt;
    c.skip_ws();
    if (!c.at_end()) return std::nullopt;
    return rec;
}

}  // namespace orbisk
