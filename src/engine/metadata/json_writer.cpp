// Writing metadata as its stored text: compact JSON, strings escaped, doubles
// in their shortest round-trip form; and coordinates as messages show them.
#include "engine/metadata/metadata.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace orbisk {

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";

template <class Int>
void append_integer(std::string& out, Int v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}
}  // namespace

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

// The high bit of each byte of `w` that must be escaped ('"', '\\' or a
// control byte); the lowest flag is exact, higher ones may be false.
inline std::uint64_t escape_flags(std::uint64_t w) {
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t b = w ^ (kOnes * '\\');
    return (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHigh;
}

inline bool needs_escape(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// The first byte at or after `p` that must be escaped, or `end`. Eight bytes
// at a time: the lowest flag of their union is the first such byte.
inline const char* find_escape(const char* p, const char* end) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (const std::uint64_t m = escape_flags(w)) return p + (std::countr_zero(m) >> 3);
            p += 8;
        }
    }
    for (; p != end; ++p)
        if (needs_escape(static_cast<unsigned char>(*p))) return p;
    return end;
}

}  // namespace

bool plain_json_ascii(std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    for (std::uint64_t w; end - p >= 8; p += 8) {
        std::memcpy(&w, p, 8);
        if ((w & kHigh) | escape_flags(w)) return false;
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || needs_escape(c)) return false;
    }
    return true;
}

void append_json_string(std::string& out, std::string_view s) {
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    const char* p = s.data();
    const char* const end = p + s.size();
    for (;;) {
        const char* q = find_escape(p, end);
        out.append(p, static_cast<std::size_t>(q - p));
        if (q == end) break;
        const auto c = static_cast<unsigned char>(*q);
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
                out.append(esc, sizeof esc);
            }
        }
        p = q + 1;
    }
    out.push_back('"');
}

void append_json_double(std::string& out, double d) {
    // Non-finite values have no JSON spelling; no caller hands one over, and
    // "null" at least keeps the text well-formed.
    if (!std::isfinite(d)) {
        out.append("null");
        return;
    }
    char buf[kJsonDoubleMax];
    out.append(buf, static_cast<std::size_t>(write_json_double(buf, d) - buf));
}

namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
constexpr std::uint64_t kDecimalLimit = 1'000'000'000'000'000;  // 15 digits

// The digits of v written at `out`; returns the end.
char* write_digits(char* out, std::uint64_t v) { return std::to_chars(out, out + 20, v).ptr; }

// The shortest form of d when it is a decimal of at most 15 significant
// digits and 6 decimals (prices, ratings, distances: most metadata numbers),
// written as the general search would write it; nullptr for any other d.
//
// m / 10^k == |d|, both exact doubles, means the decimal m·10^-k reads back
// as d: the division and the reading round the same real number. At most one
// decimal of 15 significant digits or fewer reads back as d (they lie at
// least 10^-15·|d| apart, a double's rounding interval is under 2.3·10^-16·|d|
// wide), so m·10^-k with its trailing zeros dropped is the shortest form.
// With the most decimals that keep m under 15 digits, every such decimal of
// d is found: |d|·10^k is then within 2^-51 of m relatively. Integers and one
// or two decimals, the most common, are tried first, with shorter digits.
bool decimal_digits(double a, int k, std::uint64_t& m) {
    const double x = a * kPowersOfTen[k];
    const double r = std::nearbyint(x);
    if (std::fabs(r - x) > x * 0x1p-48) return false;
    m = static_cast<std::uint64_t>(r);
    return m != 0 && static_cast<double>(m) / kPowersOfTen[k] == a;
}

char* write_short_decimal(char* out, double d) {
    const double a = std::fabs(d);
    if (!(a >= 1e-3 && a < 1e15)) return nullptr;
    int most = 6;
    while (a * kPowersOfTen[most] >= static_cast<double>(kDecimalLimit)) --most;
    std::uint64_t m = 0;
    int k = 0;
    while (k < 3 && k < most && !decimal_digits(a, k, m)) ++k;
    if (k == 3 || k == most) {
        k = most;
        if (!decimal_digits(a, k, m)) return nullptr;
    }
    char buf[20];
    char* end = write_digits(buf, m);
    for (; k > 0 && end[-1] == '0'; --k) --end;
    const auto n = static_cast<int>(end - buf);
    // Fixed or scientific notation, whichever is shorter (fixed on a tie).
    int zeros = 0;  // trailing zeros of an integer
    while (k == 0 && zeros < n - 1 && buf[n - 1 - zeros] == '0') ++zeros;
    const int significant = n - zeros;
    const int scientific = significant + (significant > 1) + 4;  // "d.ddde+XX", exponent under 100
    const int fixed = k == 0 ? n : n > k ? n + 1 : k + 2;
    if (fixed > scientific) return nullptr;
    if (d < 0) *out++ = '-';
    if (n > k) {
        std::memcpy(out, buf, static_cast<std::size_t>(n - k));
        out += n - k;
        if (k == 0) return out;
        *out++ = '.';
        std::memcpy(out, buf + n - k, static_cast<std::size_t>(k));
        return out + k;
    }
    *out++ = '0';
    *out++ = '.';
    std::memset(out, '0', static_cast<std::size_t>(k - n));
    out += k - n;
    std::memcpy(out, buf, static_cast<std::size_t>(n));
    return out + n;
}

}  // namespace

char* write_json_double(char* out, double d) {
    if (char* end = write_short_decimal(out, d)) {
        if (std::find(out, end, '.') != end) return end;
        end[0] = '.';
        end[1] = '0';
        return end + 2;
    }
    // The longest shortest form is 24 bytes ("-2.2250738585072014e-308").
    const auto r = std::to_chars(out, out + kJsonDoubleMax - 2, d);
    // Keep the text a double when read back: "1" becomes "1.0".
    if (std::find_if(out, r.ptr, [](char c) { return c == '.' || c == 'e'; }) != r.ptr) return r.ptr;
    r.ptr[0] = '.';
    r.ptr[1] = '0';
    return r.ptr + 2;
}

void append_json_value(std::string& out, const MetadataValue& value) {
    switch (value.v.index()) {
        case 0:
            out.append("null");
            break;
        case 1:
            out.append(std::get<bool>(value.v) ? "true" : "false");
            break;
        case 2:
            append_integer(out, std::get<std::uint64_t>(value.v));
            break;
        case 3:
            append_integer(out, std::get<std::int64_t>(value.v));
            break;
        case 4:
            append_json_double(out, std::get<double>(value.v));
            break;
        case 5:
            append_json_string(out, std::get<std::string>(value.v));
            break;
        case 6: {
            const auto& arr = std::get<MetadataArray>(value.v);
            out.push_back('[');
            for (std::size_t i = 0; i < arr.size(); ++i) {
                if (i) out.push_back(',');
                append_json_value(out, arr[i]);
            }
            out.push_back(']');
            break;
        }
        case 7: {
            const auto& obj = std::get<MetadataObject>(value.v);
            out.push_back('{');
            for (std::size_t i = 0; i < obj.size(); ++i) {
                if (i) out.push_back(',');
                append_json_string(out, obj[i].first);
                out.push_back(':');
                append_json_value(out, obj[i].second);
            }
            out.push_back('}');
            break;
        }
        default:
            out.append("null");
            break;  // valueless after a failed assignment
    }
}

std::string metadata_to_json_text(const MetadataMap& map) {
    std::string out;
    out.reserve(128);
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, key);
        out.push_back(':');
        append_json_value(out, value);
    }
    out.push_back('}');
    return out;
}

std::string format_coordinate(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    // The shortest round-trip digits, laid out without an exponent (1e300 is a 1
    // and 300 zeros, not the double's exact decimal expansion).
    char sci[32];
    const auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    std::string_view text(sci, static_cast<std::size_t>(r.ptr - sci));
    std::string out;
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits += c;
    int exp = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exp);
    // The value is 0.d1d2d3... x 10^(exp + 1).
    const int point = exp + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace orbisk
