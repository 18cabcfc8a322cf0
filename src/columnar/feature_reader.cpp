#include "columnar/feature_reader.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/metadata/json_reader.hpp"
#include "engine/metadata/metadata.hpp"

namespace orbisk::columnar {

namespace {

// Integers of 19 digits and more may lie beyond the signed 64-bit range,
// which the store does not keep exactly: a run of 19 digits anywhere but
// after a decimal point sends the text to the careful reader.
bool has_long_digit_run(std::string_view text) {
    int run = 0;
    bool fraction = false;  // the run follows a decimal point: not an integer
    for (const char c : text) {
        if (static_cast<unsigned char>(c - '0') < 10) {
            if (++run >= 19 && !fraction) return true;
        } else {
            run = 0;
            fraction = c == '.';
        }
    }
    return false;
}

struct Point {
    double lat = 0, lon = 0;
    std::optional<MetadataValue> height;
};

class Reader {
public:
    explicit Reader(const FeatureText& in) : in_(in), c_{in.text.data(), in.text.data() + in.text.size()} {}

    bool read() {
        if (has_long_digit_run(in_.text)) return false;
        if (in_.lines) return read_lines();
        c_.skip_ws();
        if (c_.at_end()) return true;
        for (;;) {
            if (!feature(in_.first_number + static_cast<std::int64_t>(lats_.size()), line_at(c_.p))) return false;
            c_.skip_ws();
            if (c_.at_end()) return true;
            if (!c_.eat(',')) return false;
            c_.skip_ws();
        }
    }

    std::shared_ptr<ArrowTable> table() {
        const auto n = static_cast<std::int64_t>(lats_.size());
        auto column = [&](const char* name, const char* format, Buffer values) {
            ArrowColumn col;
            col.format = format;
            col.name = name;
            col.length = n;
            col.buffers = {Buffer::none(), std::move(values)};
            return col;
        };
        ArrowColumn batch;
        batch.format = "+s";
        batch.length = n;
        batch.buffers.push_back(Buffer::none());
        batch.children.push_back(column("latitude", "g", Buffer::of(std::move(lats_))));
        batch.children.push_back(column("longitude", "g", Buffer::of(std::move(lons_))));
        batch.children.push_back(column("number", "l", Buffer::of(std::move(numbers_))));
        batch.children.push_back(column("line", "l", Buffer::of(std::move(lines_))));
        ArrowColumn rest = column("metadata_rest", "U", Buffer::none());
        rest.metadata = {{std::string(kExtensionName), std::string(kJsonExtension)}, {std::string(kRoleKey), "rest"}};
        rest.buffers = {Buffer::none(), Buffer::of(std::move(ends_)), Buffer::of(std::move(texts_))};
        batch.children.push_back(std::move(rest));

        auto table = std::make_shared<ArrowTable>();
        table->schema.format = "+s";
        for (const ArrowColumn& child : batch.children) {
            ArrowColumn field;
            field.format = child.format;
            field.name = child.name;
            field.metadata = child.metadata;
            field.buffers.assign(child.buffers.size(), Buffer::none());
            if (child.format == "U") field.buffers[1] = Buffer::of(std::vector<std::int64_t>(1, 0));
            table->schema.children.push_back(std::move(field));
        }
        table->schema.buffers.push_back(Buffer::none());
        if (n) table->batches.push_back(std::move(batch));
        return table;
    }

private:
    std::int64_t line_at(const char* p) {
        for (; counted_ < p; ++counted_)
            if (*counted_ == '\n') ++line_;
        return line_;
    }

    bool read_lines() {
        const char* p = in_.text.data();
        const char* const end = p + in_.text.size();
        std::int64_t number = in_.first_number;
        auto strip = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\x1e'; };
        while (p < end) {
            const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (!eol) eol = end;
            const char* a = p;
            const char* b = eol;
            while (a < b && strip(*a)) ++a;
            while (b > a && strip(b[-1])) --b;
            if (a < b) {
                c_ = json::JsonCursor{a, b};
                if (!feature(number, number) || !c_.at_end()) return false;
            }
            ++number;
            p = eol + 1;
        }
        return true;
    }

    // One feature at the cursor: its point and properties, or false.
    bool feature(std::int64_t number, std::int64_t line) {
        if (!c_.eat('{')) return false;
        bool is_feature = false, has_geometry = false;
        Point point;
        MetadataMap properties;
        c_.skip_ws();
        if (!c_.eat('}')) {
            for (;;) {
                key_.clear();
                if (c_.at_end() || *c_.p != '"' || !c_.read_string(key_)) return false;
                c_.skip_ws();
                if (!c_.eat(':')) return false;
                c_.skip_ws();
                // A member named twice counts with its last value, as Python's dicts have it.
                if (key_ == "type") {
                    MetadataValue type;
                    if (!c_.read_value(type, 1)) return false;
                    const auto* s = std::get_if<std::string>(&type.v);
                    is_feature = s && *s == "Feature";
                } else if (key_ == "geometry") {
                    if (!geometry(point, has_geometry)) return false;
                } else if (key_ == "properties") {
                    properties = MetadataMap();
                    if (!c_.at_end() && *c_.p == 'n') {
                        MetadataValue null;
                        if (!c_.read_value(null, 0) || !null.is_null()) return false;
                    } else if (!read_properties(properties)) {
                        return false;  // not an object, or nested too deeply
                    }
                } else if (!c_.skip_value(1)) {
                    return false;
                }
                c_.skip_ws();
                if (c_.eat(',')) {
                    c_.skip_ws();
                    continue;
                }
                if (c_.eat('}')) break;
                return false;
            }
        }
        if (!is_feature || !has_geometry) return false;
        if (point.height) {
            if (properties.find(*in_.height_key)) return false;  // the key is taken
            properties.insert_or_assign(*in_.height_key, std::move(*point.height));
        }
        lats_.push_back(point.lat);
        lons_.push_back(point.lon);
        numbers_.push_back(number);
        lines_.push_back(line);
        texts_ += metadata_to_json_text(properties);
        ends_.push_back(static_cast<std::int64_t>(texts_.size()));
        return true;
    }

    // A geometry member's value: `ok` when it is a Point of two coordinates
    // (three with a height key) in range; false when it is not JSON.
    bool geometry(Point& out, bool& ok) {
        ok = false;
        if (c_.at_end() || *c_.p != '{') return c_.skip_value(1);
        ++c_.p;
        bool point = false, placed = false;
        c_.skip_ws();
        if (c_.eat('}')) return true;
        for (;;) {
            member_.clear();
            if (c_.at_end() || *c_.p != '"' || !c_.read_string(member_)) return false;
            c_.skip_ws();
            if (!c_.eat(':')) return false;
            c_.skip_ws();
            if (member_ == "type") {
                if (!c_.at_end() && *c_.p == '"') {
                    value_.clear();
                    if (!c_.read_string(value_)) return false;
                    point = value_ == "Point";
                } else {
                    if (!c_.skip_value(2)) return false;
                    point = false;
                }
            } else if (member_ == "coordinates") {
                if (!coordinates(out, placed)) return false;
            } else if (!c_.skip_value(2)) {
                return false;
            }
            c_.skip_ws();
            if (c_.eat(',')) {
                c_.skip_ws();
                continue;
            }
            if (!c_.eat('}')) return false;
            ok = point && placed;
            return true;
        }
    }

    // A coordinates member's value: `ok` when it is two numbers (or three,
    // with a height key) in range; false when it is not JSON.
    bool coordinates(Point& out, bool& ok) {
        ok = false;
        if (c_.at_end() || *c_.p != '[') return c_.skip_value(2);
        ++c_.p;
        json::Number xyz[3];
        std::size_t n = 0;
        bool numbers = true;
        c_.skip_ws();
        if (!c_.eat(']')) {
            for (;;) {
                const char first = c_.at_end() ? '\0' : *c_.p;
                if (first == '-' || static_cast<unsigned char>(first - '0') < 10) {
                    json::Number number;
                    if (!c_.read_number(number)) return false;
                    if (n < 3) xyz[n] = number;
                } else {
                    if (!c_.skip_value(3)) return false;
                    numbers = false;
                }
                ++n;
                c_.skip_ws();
                if (c_.eat(',')) {
                    c_.skip_ws();
                    continue;
                }
                if (!c_.eat(']')) return false;
                break;
            }
        }
        if (!numbers || !(n == 2 || (n == 3 && in_.height_key))) return true;
        out.lon = xyz[0].as_double();
        out.lat = xyz[1].as_double();
        out.height.reset();
        if (n == 3) {
            switch (xyz[2].kind) {
                case json::Number::Kind::U64:
                    out.height = MetadataValue(xyz[2].u);
                    break;
                case json::Number::Kind::I64:
                    out.height = MetadataValue(xyz[2].i);
                    break;
                case json::Number::Kind::Double:
                    out.height = MetadataValue(xyz[2].d);
                    break;
            }
        }
        ok = out.lat >= -90.0 && out.lat <= 90.0 && out.lon >= -180.0 && out.lon <= 180.0;
        return true;
    }

    // A properties object: its members in the order of the text, the last
    // value of a key named twice in the place of the first (as a dict of the
    // text is), values nested at most kMaxMetadataDepth levels.
    bool read_properties(MetadataMap& out) {
        if (!c_.eat('{')) return false;
        c_.skip_ws();
        if (c_.eat('}')) return true;
        for (;;) {
            std::string key;
            if (c_.at_end() || *c_.p != '"' || !c_.read_string(key)) return false;
            c_.skip_ws();
            if (!c_.eat(':')) return false;
            c_.skip_ws();
            MetadataValue value;
            if (!c_.read_value(value, 1)) return false;
            out.insert_or_assign(std::move(key), std::move(value));
            c_.skip_ws();
            if (c_.eat(',')) {
                c_.skip_ws();
                continue;
            }
            return c_.eat('}');
        }
    }

    const FeatureText& in_;
    json::JsonCursor c_;
    std::string key_, member_, value_;
    const char* counted_ = in_.text.data();
    std::int64_t line_ = in_.first_line;
    std::vector<double> lats_, lons_;
    std::vector<std::int64_t> numbers_, lines_;
    std::vector<std::int64_t> ends_{0};
    std::string texts_;
};

}  // namespace

std::shared_ptr<ArrowTable> read_features(const FeatureText& input) {
    Reader reader(input);
    if (!reader.read()) return nullptr;
    return reader.table();
}

}  // namespace orbisk::columnar
