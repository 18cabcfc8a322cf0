#include "columnar/arrow_import.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "engine/metadata/json_reader.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/util/text.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk::columnar {

namespace {

constexpr std::string_view kRestColumnName = "metadata_rest";

// ---- UTF-8 -----------------------------------------------------------------------

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int n;
        unsigned cp;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= n) return false;
        for (int i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        p += n + 1;
    }
    return true;
}

double half_to_double(std::uint16_t h) {
    const int sign = h >> 15, exp = (h >> 10) & 0x1F, frac = h & 0x3FF;
    double v;
    if (exp == 0)
        v = std::ldexp(frac, -24);
    else if (exp == 31)
        v = frac ? std::nan("") : INFINITY;
    else
        v = std::ldexp(frac + 1024, exp - 25);
    return sign ? -v : v;
}

// ---- the plan of a schema ----------------------------------------------------------

enum class T : std::uint8_t {
    Null,
    Bool,
    I8,
    I16,
    I32,
    I64,
    U8,
    U16,
    U32,
    U64,
    F16,
    F32,
    F64,
    Utf8,
    LargeUtf8,
    Utf8View,
    Binary,
    LargeBinary,
    List,
    LargeList,
    FixedList,
    Struct,
};

struct Node {
    T type = T::Null;
    std::string name;
    std::string format;
    bool json = false;                   // arrow.json text: its value is stored
    std::string member;                  // "\"name\":" as written inside an object
    std::vector<Node> children;          // list: 1; struct: its fields
    std::vector<std::size_t> key_order;  // struct: the fields in key order, the last of equal names
    int fixed_size = 0;
    std::unique_ptr<Node> dict;  // dictionary-encoded: the values; `type` is the index type
    std::string extension;       // ARROW:extension:name, if any
    std::string role;            // orbisk:role, if any
};

// A schema node's description for messages: its format string.
std::string describe(const ArrowSchema& s) { return cat("'", s.format ? s.format : "?", "'"); }

std::optional<T> simple_type(std::string_view f) {
    static const std::pair<std::string_view, T> kTypes[] = {
        {"n", T::Null},      {"b", T::Bool},   {"c", T::I8},          {"s", T::I16},   {"i", T::I32},
        {"l", T::I64},       {"C", T::U8},     {"S", T::U16},         {"I", T::U32},   {"L", T::U64},
        {"e", T::F16},       {"f", T::F32},    {"g", T::F64},         {"u", T::Utf8},  {"U", T::LargeUtf8},
        {"vu", T::Utf8View}, {"z", T::Binary}, {"Z", T::LargeBinary}, {"+l", T::List}, {"+L", T::LargeList},
        {"+s", T::Struct},
    };
    for (const auto& [n, t] : kTypes)
        if (n == f) return t;
    if (f.starts_with("+w:")) return T::FixedList;
    return std::nullopt;
}

bool is_integer(T t) { return t >= T::I8 && t <= T::U64; }
bool is_number(T t) { return t >= T::I8 && t <= T::F64; }

std::optional<ImportError> plan_node(const ArrowSchema& s, Node& n, const std::string& column) {
    auto refuse = [&](std::string why) { return ImportError{Refusal::Type, cat("column '", column, "': ", why)}; };
    if (!s.format) return refuse("the schema gives no format");
    n.format = s.format;
    n.name = s.name ? s.name : "";
    if (auto ext = field_metadata_value(s.metadata, kExtensionName)) n.extension = *ext;
    if (auto role = field_metadata_value(s.metadata, kRoleKey)) n.role = *role;
    auto t = simple_type(n.format);
    if (!t) return refuse(cat("Arrow type of format ", describe(s), " cannot be stored as metadata"));
    n.type = *t;
    if (s.dictionary) {
        if (!is_integer(n.type)) return refuse(cat("dictionary index of format ", describe(s)));
        n.dict = std::make_unique<Node>();
        if (auto e = plan_node(*s.dictionary, *n.dict, column)) return e;
        return std::nullopt;
    }
    n.json = n.extension == kJsonExtension && (n.type == T::Utf8 || n.type == T::LargeUtf8 || n.type == T::Utf8View);
    switch (n.type) {
        case T::List:
        case T::LargeList:
        case T::FixedList:
            if (s.n_children != 1) return refuse("a list without exactly one child");
            if (n.type == T::FixedList) {
                const auto [ptr, ec] =
                    std::from_chars(n.format.data() + 3, n.format.data() + n.format.size(), n.fixed_size);
                if (ec != std::errc() || n.fixed_size < 0) return refuse(cat("bad format ", describe(s)));
            }
            break;
        case T::Struct:
            break;
        default:
            if (s.n_children != 0) return refuse(cat("format ", describe(s), " with children"));
    }
    n.children.resize(static_cast<std::size_t>(s.n_children));
    for (std::size_t i = 0; i < n.children.size(); ++i)
        if (auto e = plan_node(*s.children[i], n.children[i], column)) return e;
    if (n.type == T::Struct) {
        // Nested objects are kept with their keys in ascending order; of equal
        // field names the last wins, as in a dict.
        std::map<std::string, std::size_t> by_key;
        for (std::size_t i = 0; i < n.children.size(); ++i) {
            if (!valid_utf8(n.children[i].name)) return refuse("a struct field name that is not UTF-8");
            by_key[n.children[i].name] = i;
        }
        for (const auto& [k, i] : by_key) {
            n.key_order.push_back(i);
            n.children[i].member.clear();
            append_json_string(n.children[i].member, k);
            n.children[i].member += ':';
        }
    }
    return std::nullopt;
}

// Whether a (non-dictionary) node's values can be metadata at all.
std::optional<std::string> unstorable(const Node& n) {
    if (n.dict) return unstorable(*n.dict);
    if (n.type == T::Binary || n.type == T::LargeBinary)
        return std::string(
            "binary values cannot be stored as metadata (a geometry column is read only for coordinates)");
    for (const Node& c : n.children)
        if (auto why = unstorable(c)) return why;
    return std::nullopt;
}

// ---- reading a batch -------------------------------------------------------------

// An array of a batch bound to its plan node.
struct Bound {
    const Node* node = nullptr;
    const ArrowArray* a = nullptr;
    const std::uint8_t* valid = nullptr;
    std::vector<Bound> children;
    std::unique_ptr<Bound> dict;

    bool is_valid(std::int64_t i) const {
        if (node->type == T::Null && !node->dict) return false;
        if (!valid) return true;
        const std::int64_t j = i + a->offset;
        return (valid[j >> 3] >> (j & 7)) & 1;
    }
    template <class V>
    V at(int buffer, std::int64_t i) const {
        V v;
        std::memcpy(&v, static_cast<const std::uint8_t*>(a->buffers[buffer]) + sizeof(V) * (i + a->offset), sizeof v);
        return v;
    }
};

std::int64_t buffers_expected(const Node& n) {
    if (n.dict) return 2;
    switch (n.type) {
        case T::Null:
            return 0;
        case T::Struct:
        case T::FixedList:
            return 1;
        case T::Utf8:
        case T::LargeUtf8:
        case T::Binary:
        case T::LargeBinary:
            return 3;
        case T::Utf8View:
            return -1;  // variadic
        default:
            return 2;
    }
}

std::optional<std::string> bind(const Node& n, const ArrowArray* a, Bound& b) {
    b.node = &n;
    b.a = a;
    if (!a) return std::string("an array is missing");
    const std::int64_t want = buffers_expected(n);
    // Some producers give a null array a validity buffer it does not need.
    const bool null_extra = n.type == T::Null && !n.dict && a->n_buffers == 1;
    if ((want >= 0 && a->n_buffers != want && !null_extra) || (want < 0 && a->n_buffers < 3))
        return cat("an array of format '", n.format, "' with ", a->n_buffers, " buffers");
    if (a->n_children != static_cast<std::int64_t>(n.children.size()))
        return cat("an array of format '", n.format, "' with ", a->n_children, " children");
    b.valid = n.type != T::Null && a->null_count != 0 && a->n_buffers > 0
                  ? static_cast<const std::uint8_t*>(a->buffers[0])
                  : nullptr;
    b.children.resize(n.children.size());
    for (std::size_t i = 0; i < n.children.size(); ++i)
        if (auto e = bind(n.children[i], a->children[i], b.children[i])) return e;
    if (n.dict) {
        b.dict = std::make_unique<Bound>();
        if (auto e = bind(*n.dict, a->dictionary, *b.dict)) return e;
    }
    return std::nullopt;
}

// The value of an integer array at i, as (negative, magnitude bits).
struct Int {
    bool negative;
    std::uint64_t u;  // the value itself when not negative; the two's complement otherwise
};

Int int_at(const Bound& b, std::int64_t i) {
    switch (b.node->type) {
        case T::I8: {
            const auto v = b.at<std::int8_t>(1, i);
            return {v < 0, static_cast<std::uint64_t>(static_cast<std::int64_t>(v))};
        }
        case T::I16: {
            const auto v = b.at<std::int16_t>(1, i);
            return {v < 0, static_cast<std::uint64_t>(static_cast<std::int64_t>(v))};
        }
        case T::I32: {
            const auto v = b.at<std::int32_t>(1, i);
            return {v < 0, static_cast<std::uint64_t>(static_cast<std::int64_t>(v))};
        }
        case T::I64: {
            const auto v = b.at<std::int64_t>(1, i);
            return {v < 0, static_cast<std::uint64_t>(v)};
        }
        case T::U8:
            return {false, b.at<std::uint8_t>(1, i)};
        case T::U16:
            return {false, b.at<std::uint16_t>(1, i)};
        case T::U32:
            return {false, b.at<std::uint32_t>(1, i)};
        default:
            return {false, b.at<std::uint64_t>(1, i)};
    }
}

double number_at(const Bound& b, std::int64_t i) {
    switch (b.node->type) {
        case T::F16:
            return half_to_double(b.at<std::uint16_t>(1, i));
        case T::F32:
            return b.at<float>(1, i);
        case T::F64:
            return b.at<double>(1, i);
        default: {
            const Int v = int_at(b, i);
            return v.negative ? static_cast<double>(static_cast<std::int64_t>(v.u)) : static_cast<double>(v.u);
        }
    }
}

std::string_view text_at(const Bound& b, std::int64_t i) {
    const std::int64_t j = i + b.a->offset;
    switch (b.node->type) {
        case T::Utf8:
        case T::Binary: {
            const auto* off = static_cast<const std::int32_t*>(b.a->buffers[1]);
            return std::string_view(static_cast<const char*>(b.a->buffers[2]) + off[j],
                                    static_cast<std::size_t>(off[j + 1] - off[j]));
        }
        case T::LargeUtf8:
        case T::LargeBinary: {
            const auto* off = static_cast<const std::int64_t*>(b.a->buffers[1]);
            return std::string_view(static_cast<const char*>(b.a->buffers[2]) + off[j],
                                    static_cast<std::size_t>(off[j + 1] - off[j]));
        }
        default: {  // string view: length, then 12 bytes inline or prefix, buffer index, offset
            const auto* view = static_cast<const std::uint8_t*>(b.a->buffers[1]) + 16 * j;
            std::int32_t len, buf, off;
            std::memcpy(&len, view, 4);
            if (len <= 12)
                return std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(len));
            std::memcpy(&buf, view + 8, 4);
            std::memcpy(&off, view + 12, 4);
            return std::string_view(static_cast<const char*>(b.a->buffers[2 + buf]) + off,
                                    static_cast<std::size_t>(len));
        }
    }
}

// A value the store refuses; the caller adds the column and the row.
struct ValueError {
    std::string message;
};

// Canonical stored text of one JSON value given as text (arrow.json).
bool json_text_value(std::string_view text, std::string& out, int depth, std::string& why) {
    json::JsonCursor c{text.data(), text.data() + text.size()};
    c.skip_ws();
    const std::size_t mark = out.size();
    if (c.at_end() || !c.copy_value(out, depth)) {
        out.resize(mark);
        why = "JSON text that is not one value, or nests deeper than 127 levels";
        return false;
    }
    c.skip_ws();
    if (!c.at_end()) {
        out.resize(mark);
        why = "not a JSON value";
        return false;
    }
    return true;
}

class RowWriter {
public:
    // Appends the value of `b` at i, at nesting level `level` (1: a top-level value).
    bool value(const Bound& b, std::int64_t i, std::string& out, int level, std::string& why) {
        const Node& n = *b.node;
        if (b.dict) {
            const Int k = int_at(b, i);
            if (k.negative || static_cast<std::int64_t>(k.u) >= b.dict->a->length) {
                why = "a dictionary index out of range";
                return false;
            }
            const auto j = static_cast<std::int64_t>(k.u);
            if (!b.dict->is_valid(j)) {
                out += "null";
                return true;
            }
            return value(*b.dict, j, out, level, why);
        }
        char buf[24];
        switch (n.type) {
            case T::Null:
                out += "null";
                return true;
            case T::Bool: {
                const std::int64_t j = i + b.a->offset;
                const bool v = (static_cast<const std::uint8_t*>(b.a->buffers[1])[j >> 3] >> (j & 7)) & 1;
                out += v ? "true" : "false";
                return true;
            }
            case T::I8:
            case T::I16:
            case T::I32:
            case T::I64:
            case T::U8:
            case T::U16:
            case T::U32:
            case T::U64: {
                const Int v = int_at(b, i);
                if (v.negative)
                    out.append(buf, std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v.u)).ptr);
                else
                    out.append(buf, std::to_chars(buf, buf + sizeof buf, v.u).ptr);
                return true;
            }
            case T::F16:
            case T::F32:
            case T::F64: {
                const double d = number_at(b, i);
                if (!std::isfinite(d)) {
                    why = cat(std::isnan(d) ? "NaN"
                              : d > 0       ? "inf"
                                            : "-inf",
                              " cannot be stored: metadata numbers are finite");
                    return false;
                }
                append_json_double(out, d);
                return true;
            }
            case T::Utf8:
            case T::LargeUtf8:
            case T::Utf8View: {
                const std::string_view s = text_at(b, i);
                if (!valid_utf8(s)) {
                    why = "text that is not UTF-8";
                    return false;
                }
                if (n.json) return json_text_value(s, out, level, why);
                append_json_string(out, s);
                return true;
            }
            case T::Binary:
            case T::LargeBinary:
                why = "binary values cannot be stored as metadata";
                return false;
            case T::List:
            case T::LargeList:
            case T::FixedList: {
                if (level + 1 > kMaxMetadataDepth) {
                    why = "metadata nested deeper than 127 levels";
                    return false;
                }
                std::int64_t begin, end;
                const std::int64_t j = i + b.a->offset;
                if (n.type == T::List) {
                    const auto* off = static_cast<const std::int32_t*>(b.a->buffers[1]);
                    begin = off[j];
                    end = off[j + 1];
                } else if (n.type == T::LargeList) {
                    const auto* off = static_cast<const std::int64_t*>(b.a->buffers[1]);
                    begin = off[j];
                    end = off[j + 1];
                } else {
                    begin = j * n.fixed_size;
                    end = begin + n.fixed_size;
                }
                const Bound& child = b.children[0];
                out += '[';
                for (std::int64_t k = begin; k < end; ++k) {
                    if (k > begin) out += ',';
                    if (!child.is_valid(k))
                        out += "null";
                    else if (!value(child, k, out, level + 1, why))
                        return false;
                }
                out += ']';
                return true;
            }
            case T::Struct: {
                if (level + 1 > kMaxMetadataDepth) {
                    why = "metadata nested deeper than 127 levels";
                    return false;
                }
                out += '{';
                bool first = true;
                // A struct's offset applies to its children too.
                const std::int64_t j = i + b.a->offset;
                for (std::size_t f : n.key_order) {
                    const Bound& child = b.children[f];
                    if (!child.is_valid(j)) continue;
                    if (!first) out += ',';
                    first = false;
                    out += child.node->member;
                    if (!value(child, j, out, level + 1, why)) return false;
                }
                out += '}';
                return true;
            }
        }
        return false;
    }
};

// Reads the point of a WKB geometry: a 2D point, or the x and y of a point
// with Z and/or M (ISO or extended WKB, with or without an SRID).
bool wkb_point(std::string_view w, double& x, double& y, std::string& why) {
    if (w.size() < 5 || (w[0] != 0 && w[0] != 1)) {
        why = "not WKB";
        return false;
    }
    const bool little = w[0] == 1;
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, w.data() + at, 4);
        return little ? v : __builtin_bswap32(v);
    };
    auto f64 = [&](std::size_t at) {
        std::uint64_t v;
        std::memcpy(&v, w.data() + at, 8);
        if (!little) v = __builtin_bswap64(v);
        return std::bit_cast<double>(v);
    };
    std::uint32_t type = u32(1);
    std::size_t at = 5;
    if (type & 0x20000000u) at += 4;  // extended WKB with an SRID
    const std::uint32_t base = (type & 0x0FFFFFFFu) % 1000;
    if (base != 1) {
        why = "a geometry that is not a point";
        return false;
    }
    if (w.size() < at + 16) {
        why = "a truncated WKB point";
        return false;
    }
    x = f64(at);
    y = f64(at + 8);
    return true;
}

}  // namespace

// ---- the importer -------------------------------------------------------------------

struct StreamImporter::Plan {
    Node root;
    // Coordinates: two columns, or one geometry column.
    int lat = -1, lon = -1, geometry = -1;
    enum class Geo : std::uint8_t { Wkb, Separated, Interleaved } geo = Geo::Wkb;
    std::vector<std::size_t> metadata;  // columns written as members, in order
    int rest = -1;                      // the column of leftover metadata, merged into each row
    std::set<std::string> member_names;
};

StreamImporter::StreamImporter(ImportOptions options, std::vector<PointBatch> spare)
    : options_(std::move(options)), spare_(std::move(spare)) {}

PointBatch StreamImporter::new_part() {
    if (spare_.empty()) return PointBatch();
    PointBatch part = std::move(spare_.back());
    spare_.pop_back();
    part.clear();
    return part;
}
StreamImporter::~StreamImporter() = default;

std::optional<ImportError> StreamImporter::set_schema(const ArrowSchema& schema) {
    auto plan = std::make_unique<Plan>();
    if (!schema.format || std::string_view(schema.format) != "+s")
        return ImportError{Refusal::Type,
                           cat("a stream of record batches (struct arrays) is needed, not format ", describe(schema))};
    Node& root = plan->root;
    root.type = T::Struct;
    root.format = "+s";
    root.children.resize(static_cast<std::size_t>(schema.n_children));
    std::map<std::string, std::size_t> names;
    for (std::size_t i = 0; i < root.children.size(); ++i) {
        const ArrowSchema& f = *schema.children[i];
        const std::string name = f.name ? f.name : "";
        if (auto e = plan_node(f, root.children[i], name)) return e;
        if (!valid_utf8(name)) return ImportError{Refusal::Value, "a column name that is not UTF-8"};
        if (!names.emplace(name, i).second)
            return ImportError{Refusal::Value, cat("two columns are named '", name, "'")};
    }
    auto find = [&](const std::string& name) -> int {
        auto it = names.find(name);
        return it == names.end() ? -1 : static_cast<int>(it->second);
    };
    auto is_geo = [&](const Node& n) { return n.extension == kWkbExtension || n.extension == kPointExtension; };
    const int lat = find(options_.latitude), lon = find(options_.longitude);
    if (options_.geometry) {
        plan->geometry = find(*options_.geometry);
        if (plan->geometry < 0) return ImportError{Refusal::Value, cat("no column named '", *options_.geometry, "'")};
    } else if (lat >= 0 && lon >= 0) {
        plan->lat = lat;
        plan->lon = lon;
    } else {
        for (std::size_t i = 0; i < root.children.size(); ++i)
            if (is_geo(root.children[i])) {
                if (plan->geometry >= 0)
                    return ImportError{Refusal::Value, "two geometry columns: name the one to read with geometry="};
                plan->geometry = static_cast<int>(i);
            }
        if (plan->geometry < 0) {
            const int g = find("geometry");
            if (g >= 0) plan->geometry = g;
        }
        if (plan->geometry < 0)
            return ImportError{Refusal::Value,
                               cat("no coordinates: the stream has neither columns '", options_.latitude, "' and '",
                                   options_.longitude, "' nor a geometry column")};
    }
    if (plan->geometry >= 0) {
        const Node& g = root.children[static_cast<std::size_t>(plan->geometry)];
        const std::string& name = g.name;
        auto is_double = [](const Node& c) { return c.type == T::F64 && !c.dict; };
        if (g.dict) return ImportError{Refusal::Type, cat("column '", name, "': a dictionary-encoded geometry")};
        if (g.type == T::Binary || g.type == T::LargeBinary) {
            plan->geo = Plan::Geo::Wkb;
        } else if (g.type == T::Struct && g.children.size() >= 2 && is_double(g.children[0]) &&
                   is_double(g.children[1])) {
            plan->geo = Plan::Geo::Separated;
        } else if (g.type == T::FixedList && g.fixed_size >= 2 && g.fixed_size <= 4 && is_double(g.children[0])) {
            plan->geo = Plan::Geo::Interleaved;
        } else {
            return ImportError{Refusal::Type,
                               cat("column '", name, "': a geometry column must hold WKB points or GeoArrow points")};
        }
    } else {
        for (int c : {plan->lat, plan->lon}) {
            const Node& n = root.children[static_cast<std::size_t>(c)];
            if (n.dict || !is_number(n.type))
                return ImportError{Refusal::Type, cat("column '", n.name,
                                                      "': coordinates must be numbers, not format '", n.format, "'")};
        }
    }
    auto is_coordinate = [&](std::size_t i) {
        const int c = static_cast<int>(i);
        return c == plan->lat || c == plan->lon || c == plan->geometry;
    };
    if (options_.columns) {
        for (const std::string& name : *options_.columns) {
            const int c = find(name);
            if (c < 0) return ImportError{Refusal::Value, cat("no column named '", name, "'")};
            if (is_coordinate(static_cast<std::size_t>(c)))
                return ImportError{Refusal::Value, cat("column '", name, "' holds the coordinates")};
            plan->metadata.push_back(static_cast<std::size_t>(c));
        }
    } else {
        for (std::size_t i = 0; i < root.children.size(); ++i) {
            const Node& n = root.children[i];
            // What this package wrote beside the metadata, and other geometry columns.
            if (is_coordinate(i) || n.role == "id" || n.role == "distance" || is_geo(n)) continue;
            // The leftover metadata, by its mark or by its name (consumers
            // that pass the data on may drop field metadata).
            const bool text = !n.dict && (n.type == T::Utf8 || n.type == T::LargeUtf8 || n.type == T::Utf8View);
            if (text && (n.role == "rest" || n.name == kRestColumnName)) {
                plan->rest = static_cast<int>(i);
                continue;
            }
            plan->metadata.push_back(i);
        }
    }
    for (std::size_t c : plan->metadata) {
        Node& n = root.children[c];
        if (auto why = unstorable(n)) return ImportError{Refusal::Type, cat("column '", n.name, "': ", *why)};
        n.member.clear();
        append_json_string(n.member, n.name);
        n.member += ':';
        plan->member_names.insert(n.name);
    }
    plan_ = std::move(plan);
    return std::nullopt;
}

namespace {

// Whether the bytes of a text column's rows [begin, end) (indexes of its
// array, before its own offset) are all printable ASCII other than '"' and
// '\\': every value among them is then UTF-8 and its JSON string is itself
// between quotes.
bool plain_text_rows(const Bound& b, std::int64_t begin, std::int64_t end) {
    const Node& n = *b.node;
    if (n.dict || n.json || (n.type != T::Utf8 && n.type != T::LargeUtf8) || begin >= end) return false;
    const std::int64_t j = b.a->offset;
    std::int64_t from, to;
    if (n.type == T::Utf8) {
        const auto* off = static_cast<const std::int32_t*>(b.a->buffers[1]);
        from = off[j + begin];
        to = off[j + end];
    } else {
        const auto* off = static_cast<const std::int64_t*>(b.a->buffers[1]);
        from = off[j + begin];
        to = off[j + end];
    }
    // Offsets that do not rise give values read one by one, as they are checked.
    if (from < 0 || to < from) return false;
    return plain_json_ascii(
        std::string_view(static_cast<const char*>(b.a->buffers[2]) + from, static_cast<std::size_t>(to - from)));
}

// The longest text of a text column's rows [begin, end) (indexes of its
// array, before its own offset).
std::size_t longest_text(const Bound& b, std::int64_t begin, std::int64_t end) {
    std::size_t most = 0;
    const std::int64_t j = b.a->offset;
    if (b.node->type == T::Utf8) {
        const auto* off = static_cast<const std::int32_t*>(b.a->buffers[1]) + j;
        for (std::int64_t i = begin; i < end; ++i) most = std::max(most, static_cast<std::size_t>(off[i + 1] - off[i]));
    } else if (b.node->type == T::LargeUtf8) {
        const auto* off = static_cast<const std::int64_t*>(b.a->buffers[1]) + j;
        for (std::int64_t i = begin; i < end; ++i) most = std::max(most, static_cast<std::size_t>(off[i + 1] - off[i]));
    } else {
        for (std::int64_t i = begin; i < end; ++i) most = std::max(most, text_at(b, i).size());
    }
    return most;
}

// Copies the n bytes at p to w with a few moves of fixed size (the short
// member names and texts of a row), reading and writing no byte outside
// them; returns the end.
inline char* copy_short(char* w, const char* p, std::size_t n) {
    if (n > 32) {
        std::memcpy(w, p, n);
    } else if (n >= 16) {
        std::memcpy(w, p, 16);
        std::memcpy(w + n - 16, p + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(w, p, 8);
        std::memcpy(w + n - 8, p + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(w, p, 4);
        std::memcpy(w + n - 4, p + n - 4, 4);
    } else if (n > 0) {
        w[0] = p[0];
        w[n / 2] = p[n / 2];
        w[n - 1] = p[n - 1];
    }
    return w + n;
}

// Rows [begin, end) of a bound batch into `out`; `first_row` is the stream's
// row number of the batch's row 0, for messages. Stops at the first row the
// store refuses, with the rows before it added.
std::optional<ImportError> convert_rows(const StreamImporter::Plan& plan, const Bound& root, const ArrowArray& batch,
                                        std::int64_t begin, std::int64_t end, std::uint64_t first_row,
                                        PointBatch& out) {
    using Plan = StreamImporter::Plan;
    RowWriter writer;
    std::string why;
    auto fail_at = [&](Refusal kind, const Node& col, std::int64_t row, const std::string& message) {
        return ImportError{
            kind, cat("column '", col.name, "', row ", first_row + static_cast<std::uint64_t>(row), ": ", message)};
    };
    std::string& text = out.text_buffer();
    // Text columns whose bytes in these rows are all plain are written as
    // they lie, between quotes.
    std::vector<char> plain(plan.metadata.size());
    for (std::size_t k = 0; k < plan.metadata.size(); ++k)
        plain[k] = plain_text_rows(root.children[plan.metadata[k]], begin + batch.offset, end + batch.offset);
    // When every column is plain text, JSON text, an integer, a number or a
    // boolean, a row's text is written in one go, into room made for its
    // longest spelling. A value that cannot be stored, or JSON text not in
    // its stored form, sends its row the long way, which names or rewrites it.
    enum class Kind : std::uint8_t { Plain, Json, Integer, Number, Boolean };
    std::vector<Kind> kinds;
    for (std::size_t k = 0; k < plan.metadata.size() && plan.rest < 0; ++k) {
        const Node& n = *root.children[plan.metadata[k]].node;
        if (plain[k])
            kinds.push_back(Kind::Plain);
        else if (!n.dict && n.json && (n.type == T::Utf8 || n.type == T::LargeUtf8 || n.type == T::Utf8View))
            kinds.push_back(Kind::Json);
        else if (!n.dict && is_integer(n.type))
            kinds.push_back(Kind::Integer);
        else if (!n.dict && (n.type == T::F16 || n.type == T::F32 || n.type == T::F64))
            kinds.push_back(Kind::Number);
        else if (!n.dict && n.type == T::Bool)
            kinds.push_back(Kind::Boolean);
        else
            break;
    }
    bool one_go = plan.rest < 0 && kinds.size() == plan.metadata.size();
    std::int64_t long_way = 0;  // rows of one_go sent the long way
    // Writes the members of row i at w; nothing when a number is not finite
    // or a JSON text is not in its stored form.
    auto write_row = [&](std::int64_t i, char* w) -> char* {
        *w++ = '{';
        bool first = true;
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const Bound& col = root.children[plan.metadata[k]];
            if (!col.is_valid(i)) continue;
            if (!first) *w++ = ',';
            first = false;
            const std::string& member = col.node->member;
            w = copy_short(w, member.data(), member.size());
            switch (kinds[k]) {
                case Kind::Plain: {
                    const std::string_view v = text_at(col, i);
                    *w++ = '"';
                    w = copy_short(w, v.data(), v.size());
                    *w++ = '"';
                    break;
                }
                case Kind::Json: {
                    const std::string_view v = text_at(col, i);
                    if (!json::is_stored_form(v, 1)) return nullptr;
                    w = copy_short(w, v.data(), v.size());
                    break;
                }
                case Kind::Integer: {
                    const Int v = int_at(col, i);
                    w = v.negative ? std::to_chars(w, w + 24, static_cast<std::int64_t>(v.u)).ptr
                                   : std::to_chars(w, w + 24, v.u).ptr;
                    break;
                }
                case Kind::Number: {
                    const double d = number_at(col, i);
                    if (!std::isfinite(d)) return nullptr;
                    w = write_json_double(w, d);
                    break;
                }
                case Kind::Boolean: {
                    const std::int64_t j = i + col.a->offset;
                    const bool v = (static_cast<const std::uint8_t*>(col.a->buffers[1])[j >> 3] >> (j & 7)) & 1;
                    std::memcpy(w, v ? "true" : "false", v ? 4 : 5);
                    w += v ? 4 : 5;
                    break;
                }
            }
        }
        *w++ = '}';
        return w;
    };
    // Room for any row of the range: each member with its column's longest
    // text here, or the longest spelling of a value.
    std::size_t row_room = 2;
    for (std::size_t k = 0; k < kinds.size() && one_go; ++k) {
        const Bound& col = root.children[plan.metadata[k]];
        row_room += col.node->member.size() + 1;
        row_room += kinds[k] == Kind::Plain || kinds[k] == Kind::Json
                        ? longest_text(col, begin + batch.offset, end + batch.offset) + 2
                        : kJsonDoubleMax;
    }
    for (std::int64_t row = begin; row < end; ++row) {
        // The batch's offset applies to its columns.
        const std::int64_t i = row + batch.offset;
        // Rows of a null struct row are refused: they hold no point.
        if (!root.is_valid(row))
            return ImportError{Refusal::Value,
                               cat("row ", first_row + static_cast<std::uint64_t>(row), ": a null row")};
        double lat = 0, lon = 0;
        const Node* lat_col;
        const Node* lon_col;
        if (plan.geometry >= 0) {
            const Bound& g = root.children[static_cast<std::size_t>(plan.geometry)];
            lat_col = lon_col = g.node;
            if (!g.is_valid(i)) return fail_at(Refusal::Value, *g.node, row, "a null geometry");
            switch (plan.geo) {
                case Plan::Geo::Wkb:
                    if (!wkb_point(text_at(g, i), lon, lat, why)) return fail_at(Refusal::Value, *g.node, row, why);
                    break;
                case Plan::Geo::Separated: {
                    const std::int64_t gi = i + g.a->offset;
                    if (!g.children[0].is_valid(gi) || !g.children[1].is_valid(gi))
                        return fail_at(Refusal::Value, *g.node, row, "a null coordinate");
                    lon = g.children[0].at<double>(1, gi);
                    lat = g.children[1].at<double>(1, gi);
                    break;
                }
                case Plan::Geo::Interleaved: {
                    const std::int64_t at = (i + g.a->offset) * g.node->fixed_size;
                    const Bound& xy = g.children[0];
                    if (!xy.is_valid(at) || !xy.is_valid(at + 1))
                        return fail_at(Refusal::Value, *g.node, row, "a null coordinate");
                    lon = xy.at<double>(1, at);
                    lat = xy.at<double>(1, at + 1);
                    break;
                }
            }
        } else {
            const Bound& la = root.children[static_cast<std::size_t>(plan.lat)];
            const Bound& lo = root.children[static_cast<std::size_t>(plan.lon)];
            lat_col = la.node;
            lon_col = lo.node;
            if (!la.is_valid(i)) return fail_at(Refusal::Value, *la.node, row, "a null coordinate");
            if (!lo.is_valid(i)) return fail_at(Refusal::Value, *lo.node, row, "a null coordinate");
            lat = number_at(la, i);
            lon = number_at(lo, i);
        }
        if (auto st = validate_coordinates(lat, lon); !st) {
            const bool lat_bad = !std::isfinite(lat) || std::fabs(lat) > 90.0;
            return fail_at(Refusal::Coordinate, lat_bad ? *lat_col : *lon_col, row, st.error().message);
        }
        const std::size_t start = text.size();
        if (one_go) {
            bool written = true;
            text.resize_and_overwrite(start + row_room, [&](char* buf, std::size_t) {
                char* w = write_row(i, buf + start);
                written = w != nullptr;
                return written ? static_cast<std::size_t>(w - buf) : start;
            });
            if (written) {
                if (const std::size_t len = text.size() - start; len > kMaxEntryLength) {
                    text.resize(start);
                    return ImportError{Refusal::Value, cat("row ", first_row + static_cast<std::uint64_t>(row), ": ",
                                                           entry_too_long_message(len))};
                }
                out.add(lat, lon);
                continue;
            }
            // When many rows go the long way (JSON text written with spaces,
            // say), the rest of the range goes there directly.
            if (++long_way * 8 > row - begin + 64) one_go = false;
        }
        text += '{';
        bool first = true;
        for (std::size_t k = 0; k < plan.metadata.size(); ++k) {
            const Bound& col = root.children[plan.metadata[k]];
            if (!col.is_valid(i)) continue;
            if (!first) text += ',';
            first = false;
            text += col.node->member;
            if (plain[k]) {
                text += '"';
                text += text_at(col, i);
                text += '"';
                continue;
            }
            if (!writer.value(col, i, text, 1, why)) {
                text.resize(start);
                return fail_at(Refusal::Value, *col.node, row, why);
            }
        }
        if (plan.rest >= 0) {
            const Bound& col = root.children[static_cast<std::size_t>(plan.rest)];
            if (col.is_valid(i)) {
                const std::string_view rest = text_at(col, i);
                // Its members in the order of the text (the last of equal keys in the first one's place).
                std::optional<MetadataMap> members;
                if (valid_utf8(rest)) members = metadata_from_json_text(rest);
                if (!members) {
                    text.resize(start);
                    return fail_at(Refusal::Value, *col.node, row, "not a JSON object");
                }
                for (const auto& [k, value] : *members) {
                    // A key held by a column in this row would be stored twice.
                    if (plan.member_names.count(k)) {
                        for (std::size_t m : plan.metadata)
                            if (root.children[m].node->name == k && root.children[m].is_valid(i)) {
                                text.resize(start);
                                return fail_at(Refusal::Value, *col.node, row,
                                               cat("key '", k, "' is held by its column too"));
                            }
                    }
                    if (!first) text += ',';
                    first = false;
                    append_json_string(text, k);
                    text += ':';
                    append_json_value(text, value);
                }
            }
        }
        text += '}';
        if (const std::size_t len = text.size() - start; len > kMaxEntryLength) {
            text.resize(start);
            return ImportError{Refusal::Value, cat("row ", first_row + static_cast<std::uint64_t>(row), ": ",
                                                   entry_too_long_message(len))};
        }
        out.add(lat, lon);
    }
    return std::nullopt;
}

// About the bytes the texts of a batch's rows [begin, end) take (offsets in
// its arrays): enough, as a rule, that the buffer they are written into is
// not copied while it grows.
std::size_t text_estimate(const StreamImporter::Plan& plan, const Bound& root, std::int64_t begin, std::int64_t end) {
    const auto rows = static_cast<std::size_t>(end - begin);
    std::size_t bytes = 2 * rows;
    auto column = [&](const Bound& b, std::size_t member) {
        const std::size_t per_row = member + 1;
        const Node& n = *b.node;
        if (!n.dict && !n.json && (n.type == T::Utf8 || n.type == T::LargeUtf8)) {
            const std::int64_t j = b.a->offset;
            std::int64_t data;
            if (n.type == T::Utf8) {
                const auto* off = static_cast<const std::int32_t*>(b.a->buffers[1]);
                data = off[j + end] - off[j + begin];
            } else {
                const auto* off = static_cast<const std::int64_t*>(b.a->buffers[1]);
                data = off[j + end] - off[j + begin];
            }
            // Quotes, and a little for escapes.
            const auto d = static_cast<std::size_t>(std::max<std::int64_t>(data, 0));
            return rows * (per_row + 2) + d + d / 16;
        }
        if (n.type == T::Bool || n.type == T::Null || is_number(n.type)) return rows * (per_row + 24);
        return rows * (per_row + 32);
    };
    for (std::size_t c : plan.metadata) bytes += column(root.children[c], root.children[c].node->member.size());
    if (plan.rest >= 0) bytes += column(root.children[static_cast<std::size_t>(plan.rest)], 0);
    return bytes;
}

}  // namespace

std::optional<ImportError> StreamImporter::add_batch(const ArrowArray& batch) {
    const Plan& plan = *plan_;
    Bound root;
    if (auto e = bind(plan.root, &batch, root)) return ImportError{Refusal::Value, cat("a malformed batch: ", *e)};
    const std::int64_t n = batch.length;
    // A large batch is cut into ranges of rows, one per thread, each written
    // into a buffer of its own: the first range after the points read
    // before, the others into new parts. The first refused row of the batch
    // is that of the first range that refuses one.
    WorkerPool& pool = WorkerPool::instance();
    const std::size_t pieces =
        n < kParallelRows
            ? 1
            : std::min<std::size_t>(pool.threads() + 1, static_cast<std::size_t>(n / (kParallelRows / 2)));
    std::vector<std::int64_t> bounds(pieces + 1);
    for (std::size_t k = 0; k <= pieces; ++k)
        bounds[k] = static_cast<std::int64_t>(static_cast<std::size_t>(n) * k / pieces);
    if (parts_.empty()) parts_.push_back(new_part());
    PointBatch& into = parts_.back();
    // Each buffer is reserved once for its range.
    into.reserve(into.size() + static_cast<std::size_t>(bounds[1]),
                 into.text_size() + text_estimate(plan, root, batch.offset, batch.offset + bounds[1]));
    if (pieces == 1) {
        if (auto e = convert_rows(plan, root, batch, 0, n, rows_, into)) return e;
    } else {
        std::vector<PointBatch> rest;
        for (std::size_t k = 1; k < pieces; ++k) rest.push_back(new_part());
        std::vector<std::optional<ImportError>> errors(pieces);
        pool.run(pieces, [&](std::size_t k) {
            if (k > 0)
                rest[k - 1].reserve(static_cast<std::size_t>(bounds[k + 1] - bounds[k]),
                                    text_estimate(plan, root, batch.offset + bounds[k], batch.offset + bounds[k + 1]));
            errors[k] = convert_rows(plan, root, batch, bounds[k], bounds[k + 1], rows_, k == 0 ? into : rest[k - 1]);
        });
        for (auto& e : errors)
            if (e) return e;
        for (PointBatch& part : rest) parts_.push_back(std::move(part));
    }
    rows_ += static_cast<std::uint64_t>(n);
    return std::nullopt;
}

}  // namespace orbisk::columnar
