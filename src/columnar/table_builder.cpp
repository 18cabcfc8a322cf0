#include "columnar/table_builder.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "engine/metadata/json_reader.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk::columnar {

namespace {

// What a stored value is; the payload is in `bits` (integers, double bits) or
// in the column's text (strings unescaped, nested values as stored).
enum Kind : std::uint8_t { kNull, kFalse, kTrue, kUInt, kNegInt, kDouble, kString, kNested };

// Kinds as a mask of what a column saw.
enum Seen : unsigned {
    kSeenNull = 1,
    kSeenBool = 2,
    kSeenInt = 4,
    kSeenDouble = 8,
    kSeenString = 16,
    kSeenNested = 32,
};

unsigned seen_of(Kind k) {
    switch (k) {
        case kNull:
            return kSeenNull;
        case kFalse:
        case kTrue:
            return kSeenBool;
        case kUInt:
        case kNegInt:
            return kSeenInt;
        case kDouble:
            return kSeenDouble;
        case kString:
            return kSeenString;
        case kNested:
            return kSeenNested;
    }
    return 0;
}

struct SvHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using KeyIndex = std::unordered_map<std::string, std::size_t, SvHash, std::equal_to<>>;

// One key's values in one piece: only the rows that hold the key.
struct PieceColumn {
    std::vector<std::uint32_t> rows;
    std::vector<std::uint8_t> kinds;
    std::vector<std::uint64_t> bits;  // strings and nested values: their end in `text`
    std::string text;
    unsigned seen = 0;
    bool negative = false;      // an integer below 0
    bool above_signed = false;  // an integer above 2^63 - 1

    void add(std::uint32_t row, Kind k, std::uint64_t b, std::string_view t) {
        rows.push_back(row);
        kinds.push_back(k);
        if (k == kString || k == kNested) {
            text.append(t);
            b = text.size();
        }
        bits.push_back(b);
        seen |= seen_of(k);
        negative |= k == kNegInt;
        above_signed |= k == kUInt && b > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    }
};

struct Member {
    std::string_view key;
    Kind kind;
    std::uint64_t bits;
    std::string_view text;
};

// One batch of records, read.
struct Piece {
    std::vector<std::uint64_t> ids;
    std::vector<double> lats;
    std::vector<double> lons;
    std::vector<double> distances;  // TableOptions::distance
    // MetadataForm::Json: the stored texts back to back, and where each ends.
    std::string texts;
    std::vector<std::int64_t> text_ends;
    // MetadataForm::Columns: the keys met in this piece in first-seen order
    // (the chosen keys when the caller chose them), and their values.
    std::vector<std::string> keys;
    std::vector<PieceColumn> columns;
    KeyIndex index;
    std::size_t rows() const { return ids.size(); }
};

bool eat_literal(json::JsonCursor& c, std::string_view word) {
    if (static_cast<std::size_t>(c.end - c.p) < word.size() || std::memcmp(c.p, word.data(), word.size()) != 0)
        return false;
    c.p += word.size();
    return true;
}

// Reads a stored text's top-level members as metadata_from_json_text reads
// them (the same validation, the last of equal keys, at its first place).
// False for a text that does not read.
class MemberReader {
public:
    bool read(std::string_view text, std::vector<Member>& out) {
        out.clear();
        json::JsonCursor c{text.data(), text.data() + text.size()};
        c.skip_ws();
        if (!c.eat('{')) return false;
        c.skip_ws();
        if (!c.eat('}')) {
            for (std::size_t i = 0;; ++i) {
                if (c.at_end() || *c.p != '"') return false;
                if (keys_.size() <= i) keys_.resize(i + 1), values_.resize(i + 1);
                Member m{};
                if (!c.read_string_view(keys_[i], m.key)) return false;
                c.skip_ws();
                if (!c.eat(':')) return false;
                c.skip_ws();
                if (c.at_end()) return false;
                switch (*c.p) {
                    case '"':
                        m.kind = kString;
                        if (!c.read_string_view(values_[i], m.text)) return false;
                        break;
                    case '{':
                    case '[': {
                        const char* start = c.p;
                        if (!c.skip_value(1)) return false;
                        m.kind = kNested;
                        m.text = std::string_view(start, static_cast<std::size_t>(c.p - start));
                        break;
                    }
                    case 't':
                        if (!eat_literal(c, "true")) return false;
                        m.kind = kTrue;
                        break;
                    case 'f':
                        if (!eat_literal(c, "false")) return false;
                        m.kind = kFalse;
                        break;
                    case 'n':
                        if (!eat_literal(c, "null")) return false;
                        m.kind = kNull;
                        break;
                    default: {
                        json::Number n;
                        if (!c.read_number(n)) return false;
                        switch (n.kind) {
                            case json::Number::Kind::U64:
                                m.kind = kUInt;
                                m.bits = n.u;
                                break;
                            case json::Number::Kind::I64:
                                m.kind = kNegInt;
                                m.bits = static_cast<std::uint64_t>(n.i);
                                break;
                            case json::Number::Kind::Double:
                                m.kind = kDouble;
                                m.bits = std::bit_cast<std::uint64_t>(n.d);
                                break;
                        }
                    }
                }
                out.push_back(m);
                c.skip_ws();
                if (c.eat(',')) {
                    c.skip_ws();
                    continue;
                }
                if (c.eat('}')) break;
                return false;
            }
        }
        c.skip_ws();
        if (!c.at_end()) return false;
        dedupe(out);
        return true;
    }

private:
    // Equal keys: the last value, at the first one's place.
    void dedupe(std::vector<Member>& m) {
        const std::size_t n = m.size();
        if (n < 2) return;
        bool dup = false;
        if (n <= 16) {
            for (std::size_t i = 1; i < n && !dup; ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (m[i].key == m[j].key) {
                        dup = true;
                        break;
                    }
        } else {
            seen_.clear();
            for (const Member& x : m)
                if (!seen_.insert(x.key).second) {
                    dup = true;
                    break;
                }
        }
        if (!dup) return;
        std::vector<Member> out;
        std::unordered_map<std::string_view, std::size_t> at;
        for (const Member& x : m) {
            auto [it, fresh] = at.emplace(x.key, out.size());
            if (fresh)
                out.push_back(x);
            else
                out[it->second] = Member{out[it->second].key, x.kind, x.bits, x.text};
        }
        m = std::move(out);
    }

    std::vector<std::string> keys_;  // unescaped keys and strings that held escapes
    std::vector<std::string> values_;
    std::unordered_set<std::string_view> seen_;
};

bool reserved_name(std::string_view key, const TableOptions& o) {
    if (key == "id" || key == "latitude" || key == "longitude" || key == kRestColumn) return true;
    if (o.distance && key == kDistanceColumn) return true;
    return o.geometry != GeometryForm::None && key == kGeometryColumn;
}

Piece read_piece(const RecordSource& source, std::size_t begin, std::size_t end, const TableOptions& o) {
    Piece p;
    const std::size_t n = end - begin;
    p.ids.reserve(n);
    p.lats.reserve(n);
    p.lons.reserve(n);
    const double* distances = o.distance ? source.distances : nullptr;
    if (distances) p.distances.reserve(n);
    std::size_t position = begin;
    if (o.metadata == MetadataForm::Columns && o.keys) {
        p.keys = *o.keys;
        p.columns.resize(p.keys.size());
        for (std::size_t i = 0; i < p.keys.size(); ++i) p.index.emplace(p.keys[i], i);
    }
    MemberReader reader;
    std::vector<Member> members;
    std::vector<std::size_t> last_columns;  // the previous row's columns, member by member
    const std::size_t kSkip = ~std::size_t{0};
    source.walk(begin, end, [&](const TextRecords::Record& r) {
        const std::size_t at = position++;
        const auto row = static_cast<std::uint32_t>(p.ids.size());
        switch (o.metadata) {
            case MetadataForm::Json:
                if (!metadata_text_readable(r.text)) return true;
                p.texts.append(r.text);
                p.text_ends.push_back(static_cast<std::int64_t>(p.texts.size()));
                break;
            case MetadataForm::None:
                if (!metadata_text_readable(r.text)) return true;
                break;
            case MetadataForm::Columns: {
                if (!reader.read(r.text, members)) return true;
                if (last_columns.size() < members.size()) last_columns.resize(members.size(), kSkip);
                for (std::size_t i = 0; i < members.size(); ++i) {
                    const Member& m = members[i];
                    // Rows of one source mostly list the same keys in the same order.
                    std::size_t col = last_columns[i];
                    if (col == kSkip || col >= p.keys.size() || p.keys[col] != m.key) {
                        auto it = p.index.find(m.key);
                        if (it != p.index.end()) {
                            col = it->second;
                        } else if (o.keys) {
                            col = kSkip;
                        } else {
                            col = p.keys.size();
                            p.keys.emplace_back(m.key);
                            p.columns.emplace_back();
                            p.index.emplace(p.keys.back(), col);
                        }
                        last_columns[i] = col;
                    }
                    if (col != kSkip) p.columns[col].add(row, m.kind, m.bits, m.text);
                }
                break;
            }
        }
        p.ids.push_back(r.slot);
        p.lats.push_back(r.lat);
        p.lons.push_back(r.lon);
        if (distances) p.distances.push_back(distances[at]);
        return true;
    });
    return p;
}

// ---- settling the types -------------------------------------------------------

// The type a key's values get when the caller gave none.
ColType inferred_type(unsigned seen, bool negative, bool above_signed) {
    switch (seen & ~static_cast<unsigned>(kSeenNull)) {
        case 0:
            return ColType::Null;
        case kSeenBool:
            return ColType::Bool;
        case kSeenInt:
            if (!above_signed) return ColType::Int64;
            return negative ? ColType::Json : ColType::UInt64;
        case kSeenDouble:
            return ColType::Float64;
        case kSeenString:
            return ColType::Utf8;
        default:
            return ColType::Json;
    }
}

bool is_text(ColType t) { return t == ColType::Utf8 || t == ColType::LargeUtf8 || t == ColType::Json; }

// Whether a value is held exactly by a column of type t.
bool fits(ColType t, Kind k, std::uint64_t bits) {
    auto in_range = [&](std::int64_t lo, std::uint64_t hi) {
        if (k == kUInt) return bits <= hi;
        if (k == kNegInt) return static_cast<std::int64_t>(bits) >= lo;
        return false;
    };
    switch (t) {
        case ColType::Null:
            return false;
        case ColType::Bool:
            return k == kFalse || k == kTrue;
        case ColType::Int8:
            return in_range(INT8_MIN, INT8_MAX);
        case ColType::Int16:
            return in_range(INT16_MIN, INT16_MAX);
        case ColType::Int32:
            return in_range(INT32_MIN, INT32_MAX);
        case ColType::Int64:
            return in_range(INT64_MIN, INT64_MAX);
        case ColType::UInt8:
            return in_range(0, UINT8_MAX);
        case ColType::UInt16:
            return in_range(0, UINT16_MAX);
        case ColType::UInt32:
            return in_range(0, UINT32_MAX);
        case ColType::UInt64:
            return in_range(0, UINT64_MAX);
        case ColType::Float32: {
            if (k != kDouble) return false;
            const double d = std::bit_cast<double>(bits);
            return static_cast<double>(static_cast<float>(d)) == d;
        }
        case ColType::Float64:
            return k == kDouble;
        case ColType::Utf8:
        case ColType::LargeUtf8:
            return k == kString;
        case ColType::Json:
            return true;
    }
    return false;
}

void append_json(std::string& out, Kind k, std::uint64_t bits, std::string_view text) {
    char buf[24];
    switch (k) {
        case kNull:
            out += "null";
            break;
        case kFalse:
            out += "false";
            break;
        case kTrue:
            out += "true";
            break;
        case kUInt:
            out.append(buf, std::to_chars(buf, buf + sizeof buf, bits).ptr);
            break;
        case kNegInt:
            out.append(buf, std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(bits)).ptr);
            break;
        case kDouble:
            append_json_double(out, std::bit_cast<double>(bits));
            break;
        case kString:
            append_json_string(out, text);
            break;
        case kNested:
            out += text;
            break;
    }
}

struct FinalColumn {
    std::string key;
    ColType type = ColType::Null;
    bool reserved = false;  // every value goes to the rest column
    bool large = false;     // 64-bit offsets
};

const char* format_of(ColType t, bool large) {
    switch (t) {
        case ColType::Null:
            return "n";
        case ColType::Bool:
            return "b";
        case ColType::Int8:
            return "c";
        case ColType::Int16:
            return "s";
        case ColType::Int32:
            return "i";
        case ColType::Int64:
            return "l";
        case ColType::UInt8:
            return "C";
        case ColType::UInt16:
            return "S";
        case ColType::UInt32:
            return "I";
        case ColType::UInt64:
            return "L";
        case ColType::Float32:
            return "f";
        case ColType::Float64:
            return "g";
        case ColType::Utf8:
        case ColType::LargeUtf8:
        case ColType::Json:
            return large ? "U" : "u";
    }
    return "n";
}

FieldMetadata json_metadata() { return {{std::string(kExtensionName), std::string(kJsonExtension)}}; }

// ---- building the arrays of one piece ------------------------------------------

template <class T>
Buffer values_buffer(const PieceColumn& c, std::size_t n, const std::vector<char>& take) {
    std::vector<T> v(n);
    for (std::size_t j = 0; j < c.rows.size(); ++j) {
        if (!take[j]) continue;
        if constexpr (std::is_same_v<T, float>)
            v[c.rows[j]] = static_cast<float>(std::bit_cast<double>(c.bits[j]));
        else if constexpr (std::is_same_v<T, double>)
            v[c.rows[j]] = std::bit_cast<double>(c.bits[j]);
        else
            v[c.rows[j]] = static_cast<T>(c.bits[j]);
    }
    return Buffer::of(std::move(v));
}

// Offsets and data of a string column, from (row, piece of text) pairs in row order.
template <class Off, class Ends>
void text_buffers(ArrowColumn& col, std::size_t n, const std::vector<std::uint32_t>& rows, const Ends& ends,
                  std::string data) {
    std::vector<Off> offsets(n + 1, 0);
    std::size_t j = 0;
    for (std::size_t r = 0; r < n; ++r) {
        if (j < rows.size() && rows[j] == r) ++j;
        offsets[r + 1] = static_cast<Off>(j == 0 ? 0 : ends[j - 1]);
    }
    col.buffers.push_back(Buffer::of(std::move(offsets)));
    col.buffers.push_back(Buffer::of(std::move(data)));
}

struct BuiltPiece {
    ArrowColumn batch;
    bool any_rest = false;
};

class PieceExporter {
public:
    PieceExporter(Piece& p, const std::vector<FinalColumn>& finals, const std::vector<std::vector<std::size_t>>& map,
                  std::size_t piece_index, const TableOptions& o)
        : p_(p), finals_(finals), map_(map), index_(piece_index), o_(o), n_(p.rows()) {}

    // The batch's fields; the rest column last, always built (dropped later when no piece needs it).
    BuiltPiece build() {
        BuiltPiece out;
        ArrowColumn& batch = out.batch;
        batch.format = "+s";
        batch.length = static_cast<std::int64_t>(n_);
        batch.buffers.push_back(Buffer::none());
        ArrowColumn id = fixed("id", "L", Buffer::of(std::move(p_.ids)));
        id.metadata = {{std::string(kRoleKey), "id"}};
        batch.children.push_back(std::move(id));
        Buffer lat = Buffer::of(std::move(p_.lats));
        Buffer lon = Buffer::of(std::move(p_.lons));
        batch.children.push_back(fixed("latitude", "g", lat));
        batch.children.push_back(fixed("longitude", "g", lon));
        if (o_.distance) {
            ArrowColumn d = fixed(kDistanceColumn, "g", Buffer::of(std::move(p_.distances)));
            d.metadata = {{std::string(kRoleKey), "distance"}};
            batch.children.push_back(std::move(d));
        }
        if (o_.geometry != GeometryForm::None) batch.children.push_back(geometry(lat, lon));
        if (o_.metadata == MetadataForm::Json) {
            ArrowColumn m;
            m.format = "U";
            m.name = kJsonColumn;
            m.metadata = json_metadata();
            m.length = static_cast<std::int64_t>(n_);
            m.buffers.push_back(Buffer::none());
            std::vector<std::int64_t> offsets(n_ + 1, 0);
            std::copy(p_.text_ends.begin(), p_.text_ends.end(), offsets.begin() + 1);
            m.buffers.push_back(Buffer::of(std::move(offsets)));
            m.buffers.push_back(Buffer::of(std::move(p_.texts)));
            batch.children.push_back(std::move(m));
        }
        if (o_.metadata != MetadataForm::Columns) return out;
        rest_.assign(n_, std::string());
        for (std::size_t f = 0; f < finals_.size(); ++f) {
            const std::size_t local = map_[index_][f];
            if (finals_[f].reserved) {
                if (local != kAbsent) to_rest(finals_[f].key, p_.columns[local], nullptr);
                continue;
            }
            batch.children.push_back(column(finals_[f], local == kAbsent ? nullptr : &p_.columns[local]));
        }
        batch.children.push_back(rest_column(out.any_rest));
        return out;
    }

    static constexpr std::size_t kAbsent = ~std::size_t{0};

private:
    ArrowColumn fixed(const char* name, const char* format, Buffer values) {
        ArrowColumn c;
        c.format = format;
        c.name = name;
        c.length = static_cast<std::int64_t>(n_);
        c.buffers = {Buffer::none(), std::move(values)};
        return c;
    }

    ArrowColumn geometry(const Buffer& lat, const Buffer& lon) {
        ArrowColumn g;
        g.name = kGeometryColumn;
        g.length = static_cast<std::int64_t>(n_);
        g.buffers.push_back(Buffer::none());
        const auto* la = static_cast<const double*>(lat.data);
        const auto* lo = static_cast<const double*>(lon.data);
        switch (o_.geometry) {
            case GeometryForm::Wkb: {
                g.format = "z";
                g.metadata = {{std::string(kExtensionName), std::string(kWkbExtension)},
                              {std::string(kExtensionMetadata), std::string(kCrs84Metadata)}};
                constexpr std::size_t kPoint = 21;
                std::vector<std::int32_t> offsets(n_ + 1);
                for (std::size_t i = 0; i <= n_; ++i) offsets[i] = static_cast<std::int32_t>(kPoint * i);
                std::string data(kPoint * n_, '\0');
                for (std::size_t i = 0; i < n_; ++i) {
                    char* w = data.data() + kPoint * i;
                    w[0] = 1;  // little-endian
                    const std::uint32_t type = 1;
                    std::memcpy(w + 1, &type, 4);
                    std::memcpy(w + 5, &lo[i], 8);
                    std::memcpy(w + 13, &la[i], 8);
                }
                g.buffers.push_back(Buffer::of(std::move(offsets)));
                g.buffers.push_back(Buffer::of(std::move(data)));
                break;
            }
            case GeometryForm::Point:
                g.format = "+s";
                g.metadata = {{std::string(kExtensionName), std::string(kPointExtension)},
                              {std::string(kExtensionMetadata), std::string(kCrs84Metadata)}};
                g.children.push_back(fixed("x", "g", lon));
                g.children.push_back(fixed("y", "g", lat));
                break;
            case GeometryForm::Interleaved: {
                g.format = "+w:2";
                g.metadata = {{std::string(kExtensionName), std::string(kPointExtension)},
                              {std::string(kExtensionMetadata), std::string(kCrs84Metadata)}};
                std::vector<double> xy(2 * n_);
                for (std::size_t i = 0; i < n_; ++i) {
                    xy[2 * i] = lo[i];
                    xy[2 * i + 1] = la[i];
                }
                ArrowColumn c = fixed("xy", "g", Buffer::of(std::move(xy)));
                c.length = static_cast<std::int64_t>(2 * n_);
                g.children.push_back(std::move(c));
                break;
            }
            case GeometryForm::None:
                break;
        }
        return g;
    }

    // Values of `c` that the column does not hold go to the rest column
    // (`take` null: all of them).
    void to_rest(const std::string& key, const PieceColumn& c, const std::vector<char>* take) {
        std::size_t text_begin = 0;
        for (std::size_t j = 0; j < c.rows.size(); ++j) {
            const Kind k = static_cast<Kind>(c.kinds[j]);
            const bool has_text = k == kString || k == kNested;
            const std::size_t text_end = has_text ? c.bits[j] : text_begin;
            if (!take || !(*take)[j]) {
                std::string& r = rest_[c.rows[j]];
                r += r.empty() ? '{' : ',';
                append_json_string(r, key);
                r += ':';
                append_json(r, k, c.bits[j], std::string_view(c.text).substr(text_begin, text_end - text_begin));
            }
            text_begin = text_end;
        }
    }

    ArrowColumn column(const FinalColumn& f, const PieceColumn* c) {
        ArrowColumn col;
        col.name = f.key;
        col.format = format_of(f.type, f.large);
        col.length = static_cast<std::int64_t>(n_);
        if (f.type == ColType::Json) col.metadata = json_metadata();
        if (f.type == ColType::Null) {
            col.null_count = col.length;
            if (c) to_rest(f.key, *c, nullptr);
            return col;  // a null array has no buffers
        }
        PieceColumn empty;
        if (!c) c = &empty;
        // Which present values the column holds.
        std::vector<char> take(c->rows.size());
        std::size_t taken = 0;
        for (std::size_t j = 0; j < c->rows.size(); ++j) {
            take[j] = fits(f.type, static_cast<Kind>(c->kinds[j]), c->bits[j]);
            taken += take[j];
        }
        if (taken < c->rows.size()) to_rest(f.key, *c, &take);
        std::vector<std::uint8_t> valid = bitmap(n_);
        for (std::size_t j = 0; j < c->rows.size(); ++j)
            if (take[j]) set_bit(valid, c->rows[j]);
        col.null_count = static_cast<std::int64_t>(n_ - taken);
        col.buffers.push_back(Buffer::of(std::move(valid)));
        switch (f.type) {
            case ColType::Bool: {
                std::vector<std::uint8_t> v = bitmap(n_);
                for (std::size_t j = 0; j < c->rows.size(); ++j)
                    if (take[j] && c->kinds[j] == kTrue) set_bit(v, c->rows[j]);
                col.buffers.push_back(Buffer::of(std::move(v)));
                break;
            }
            case ColType::Int8:
                col.buffers.push_back(values_buffer<std::int8_t>(*c, n_, take));
                break;
            case ColType::Int16:
                col.buffers.push_back(values_buffer<std::int16_t>(*c, n_, take));
                break;
            case ColType::Int32:
                col.buffers.push_back(values_buffer<std::int32_t>(*c, n_, take));
                break;
            case ColType::Int64:
                col.buffers.push_back(values_buffer<std::int64_t>(*c, n_, take));
                break;
            case ColType::UInt8:
                col.buffers.push_back(values_buffer<std::uint8_t>(*c, n_, take));
                break;
            case ColType::UInt16:
                col.buffers.push_back(values_buffer<std::uint16_t>(*c, n_, take));
                break;
            case ColType::UInt32:
                col.buffers.push_back(values_buffer<std::uint32_t>(*c, n_, take));
                break;
            case ColType::UInt64:
                col.buffers.push_back(values_buffer<std::uint64_t>(*c, n_, take));
                break;
            case ColType::Float32:
                col.buffers.push_back(values_buffer<float>(*c, n_, take));
                break;
            case ColType::Float64:
                col.buffers.push_back(values_buffer<double>(*c, n_, take));
                break;
            case ColType::Utf8:
            case ColType::LargeUtf8:
            case ColType::Json:
                texts(col, f, *c, take, taken);
                break;
            case ColType::Null:
                break;
        }
        return col;
    }

    void texts(ArrowColumn& col, const FinalColumn& f, const PieceColumn& c, const std::vector<char>& take,
               std::size_t taken) {
        if (f.type != ColType::Json && taken == c.rows.size()) {
            // Every value is a string: the column's text is the data as it is
            // (the piece is not read again, so it is handed over, not copied).
            std::string data = std::move(const_cast<PieceColumn&>(c).text);
            if (f.large)
                text_buffers<std::int64_t>(col, n_, c.rows, c.bits, std::move(data));
            else
                text_buffers<std::int32_t>(col, n_, c.rows, c.bits, std::move(data));
            return;
        }
        std::vector<std::uint32_t> rows;
        std::vector<std::int64_t> ends;
        std::string data;
        {
            rows.reserve(taken);
            ends.reserve(taken);
            std::size_t text_begin = 0;
            for (std::size_t j = 0; j < c.rows.size(); ++j) {
                const Kind k = static_cast<Kind>(c.kinds[j]);
                const bool has_text = k == kString || k == kNested;
                const std::size_t text_end = has_text ? c.bits[j] : text_begin;
                const std::string_view t = std::string_view(c.text).substr(text_begin, text_end - text_begin);
                text_begin = text_end;
                if (!take[j]) continue;
                if (f.type == ColType::Json)
                    append_json(data, k, c.bits[j], t);
                else
                    data.append(t);
                rows.push_back(c.rows[j]);
                ends.push_back(static_cast<std::int64_t>(data.size()));
            }
        }
        if (f.large)
            text_buffers<std::int64_t>(col, n_, rows, ends, std::move(data));
        else
            text_buffers<std::int32_t>(col, n_, rows, ends, std::move(data));
    }

    ArrowColumn rest_column(bool& any) {
        ArrowColumn col;
        col.name = kRestColumn;
        col.format = "U";
        col.metadata = json_metadata();
        col.metadata.emplace_back(std::string(kRoleKey), "rest");
        col.length = static_cast<std::int64_t>(n_);
        std::vector<std::uint8_t> valid = bitmap(n_);
        std::vector<std::int64_t> offsets(n_ + 1, 0);
        std::string data;
        std::size_t nulls = 0;
        for (std::size_t r = 0; r < n_; ++r) {
            if (rest_[r].empty()) {
                ++nulls;
            } else {
                set_bit(valid, r);
                data += rest_[r];
                data += '}';
            }
            offsets[r + 1] = static_cast<std::int64_t>(data.size());
        }
        any = nulls < n_;
        col.null_count = static_cast<std::int64_t>(nulls);
        col.buffers.push_back(Buffer::of(std::move(valid)));
        col.buffers.push_back(Buffer::of(std::move(offsets)));
        col.buffers.push_back(Buffer::of(std::move(data)));
        return col;
    }

    Piece& p_;
    const std::vector<FinalColumn>& finals_;
    const std::vector<std::vector<std::size_t>>& map_;
    std::size_t index_;
    const TableOptions& o_;
    std::size_t n_;
    std::vector<std::string> rest_;
};

// The largest text a piece's column can need, for the choice of 64-bit offsets.
std::size_t text_bound(const PieceColumn& c, ColType t) {
    if (t != ColType::Json) return c.text.size();
    // JSON text: strings may grow sixfold when escaped; other values take at most 24 bytes.
    return 6 * c.text.size() + 26 * c.rows.size();
}

}  // namespace

std::optional<ColType> col_type_from_name(std::string_view name) {
    static const std::pair<std::string_view, ColType> kNames[] = {
        {"bool", ColType::Bool},
        {"int8", ColType::Int8},
        {"int16", ColType::Int16},
        {"int32", ColType::Int32},
        {"int64", ColType::Int64},
        {"uint8", ColType::UInt8},
        {"uint16", ColType::UInt16},
        {"uint32", ColType::UInt32},
        {"uint64", ColType::UInt64},
        {"float32", ColType::Float32},
        {"float", ColType::Float32},
        {"float64", ColType::Float64},
        {"double", ColType::Float64},
        {"string", ColType::Utf8},
        {"utf8", ColType::Utf8},
        {"large_string", ColType::LargeUtf8},
        {"large_utf8", ColType::LargeUtf8},
        {"json", ColType::Json},
        {"extension<arrow.json>", ColType::Json},
    };
    for (const auto& [n, t] : kNames)
        if (n == name) return t;
    return std::nullopt;
}

RecordSource live_records(const RecordStore& records) {
    RecordSource src;
    src.size = records.next_slot();
    src.walk = [&records](std::size_t begin, std::size_t end,
                          const std::function<bool(const TextRecords::Record&)>& f) {
        for (std::size_t s = begin; s < end; ++s) {
            const auto text = records.live_metadata_text(s);
            if (!text) continue;
            const auto [lat, lon] = records.coordinates(s);
            // A tombstone written by another handle just now reads as NaN.
            if (std::isnan(lat) || std::isnan(lon)) continue;
            if (!f(TextRecords::Record{s, lat, lon, *text})) return;
        }
    };
    return src;
}

RecordSource listed_records(const TextRecords& records, const double* distances) {
    RecordSource src;
    src.size = records.size();
    src.distances = distances;
    src.walk = [&records](std::size_t begin, std::size_t end,
                          const std::function<bool(const TextRecords::Record&)>& f) {
        records.for_each_in(begin, end, f);
    };
    return src;
}

std::shared_ptr<ArrowTable> build_table(const RecordSource& records, const TableOptions& o) {
    const std::size_t total = records.size;
    const std::size_t per = std::max<std::size_t>(o.batch_rows, 1);
    const std::size_t npieces = (total + per - 1) / per;
    std::vector<Piece> pieces(npieces);
    WorkerPool::instance().run(
        npieces, [&](std::size_t i) { pieces[i] = read_piece(records, i * per, std::min(total, (i + 1) * per), o); });

    // The columns of the whole table, and where each is in each piece.
    std::vector<FinalColumn> finals;
    std::vector<std::vector<std::size_t>> map(npieces);
    if (o.metadata == MetadataForm::Columns) {
        KeyIndex index;
        auto add_key = [&](const std::string& k) {
            if (index.emplace(k, finals.size()).second) finals.push_back(FinalColumn{k});
        };
        if (o.keys)
            for (const auto& k : *o.keys) add_key(k);
        for (const Piece& p : pieces)
            for (const auto& k : p.keys) add_key(k);
        std::vector<unsigned> seen(finals.size(), 0);
        std::vector<char> negative(finals.size(), 0), above(finals.size(), 0);
        for (std::size_t i = 0; i < npieces; ++i) {
            map[i].assign(finals.size(), PieceExporter::kAbsent);
            for (std::size_t c = 0; c < pieces[i].keys.size(); ++c) {
                const std::size_t f = index.find(pieces[i].keys[c])->second;
                map[i][f] = c;
                const PieceColumn& pc = pieces[i].columns[c];
                seen[f] |= pc.seen;
                negative[f] |= pc.negative;
                above[f] |= pc.above_signed;
            }
        }
        for (std::size_t f = 0; f < finals.size(); ++f) {
            FinalColumn& fc = finals[f];
            fc.reserved = reserved_name(fc.key, o);
            fc.type = inferred_type(seen[f], negative[f], above[f]);
            for (const auto& [k, t] : o.types)
                if (k == fc.key) fc.type = t;
            if (fc.type == ColType::LargeUtf8) fc.large = true;
            if (is_text(fc.type))
                for (std::size_t i = 0; i < npieces && !fc.large; ++i)
                    if (map[i][f] != PieceExporter::kAbsent &&
                        text_bound(pieces[i].columns[map[i][f]], fc.type) >
                            static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
                        fc.large = true;
        }
    }

    std::vector<BuiltPiece> built(npieces);
    WorkerPool::instance().run(npieces, [&](std::size_t i) {
        built[i] = PieceExporter(pieces[i], finals, map, i, o).build();
        pieces[i] = Piece();
    });
    bool any_rest = false;
    for (const BuiltPiece& b : built) any_rest |= b.any_rest;

    // The schema: the fields of an empty piece, which every batch shares.
    Piece empty;
    std::vector<std::vector<std::size_t>> empty_map(1, std::vector<std::size_t>(finals.size(), PieceExporter::kAbsent));
    BuiltPiece schema = PieceExporter(empty, finals, empty_map, 0, o).build();
    auto table = std::make_shared<ArrowTable>();
    table->schema = std::move(schema.batch);
    auto drop_rest = [&](ArrowColumn& batch) {
        if (o.metadata == MetadataForm::Columns && !any_rest) batch.children.pop_back();
    };
    drop_rest(table->schema);
    table->batches.reserve(npieces);
    for (BuiltPiece& b : built) {
        if (b.batch.length == 0) continue;
        drop_rest(b.batch);
        table->batches.push_back(std::move(b.batch));
    }
    return table;
}

}  // namespace orbisk::columnar
