// Reading stored metadata text: the strict JSON reader (JsonCursor) that the
// metadata text layer and the log codec share, the readers of whole texts
// into a MetadataMap, and the scan of one value that the record loader uses.
#include "engine/metadata/json_reader.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace orbisk {

namespace json {
namespace {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The first byte at or after `p` that ends a run of plain string bytes: '"',
// '\\', a control byte or a non-ASCII byte; `end` when there is none. Eight
// bytes at a time: each mask flags matching bytes, and the lowest flag of each
// is exact (borrows only run upwards from a true match), so the lowest flag of
// their union is the first special byte.
inline const char* find_string_special(const char* p, const char* end) {
#if defined(__SSE2__)
    // Sixteen bytes at a time: a signed compare below 0x20 finds the control
    // bytes and the bytes of 0x80 and above together.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                         _mm_cmplt_epi8(v, space));
        if (const int m = _mm_movemask_epi8(hit)) return p + std::countr_zero(static_cast<unsigned>(m));
        p += 16;
    }
#endif
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        const std::uint64_t q = w ^ (kOnes * '"');
        const std::uint64_t b = w ^ (kOnes * '\\');
        const std::uint64_t m = (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w) | w) & kHigh;
        if (m) {
            if constexpr (std::endian::native == std::endian::little) return p + (std::countr_zero(m) >> 3);
            break;  // find the byte below
        }
        p += 8;
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    }
    return end;
}

// `p` is at a byte >= 0x80. Validates one well-formed UTF-8 sequence (no
// overlong forms, no surrogates, nothing above U+10FFFF) and returns the
// position after it, or nullptr.
inline const char* skip_utf8_sequence(const char* p, const char* end) {
    const auto c = static_cast<unsigned char>(p[0]);
    auto cont = [&](std::ptrdiff_t i) { return (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80; };
    if (c < 0xC2) return nullptr;
    if (c < 0xE0) return (end - p >= 2 && cont(1)) ? p + 2 : nullptr;
    if (c < 0xF0) {
        if (end - p < 3 || !cont(1) || !cont(2)) return nullptr;
        const auto b1 = static_cast<unsigned char>(p[1]);
        if ((c == 0xE0 && b1 < 0xA0) || (c == 0xED && b1 >= 0xA0)) return nullptr;
        return p + 3;
    }
    if (c < 0xF5) {
        if (end - p < 4 || !cont(1) || !cont(2) || !cont(3)) return nullptr;
        const auto b1 = static_cast<unsigned char>(p[1]);
        if ((c == 0xF0 && b1 < 0x90) || (c == 0xF4 && b1 >= 0x90)) return nullptr;
        return p + 4;
    }
    return nullptr;
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char l = static_cast<char>(c | 0x20);
    if (l >= 'a' && l <= 'f') return l - 'a' + 10;
    return -1;
}

// Four hex digits at `p` (bounds already checked), or -1.
inline long read_hex4(const char* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int h = hex_value(p[i]);
        if (h < 0) return -1;
        v = (v << 4) | h;
    }
    return v;
}

// `p` is at a backslash. Decodes one escape (a surrogate pair counts as one)
// into `cp` and returns the position after it, or nullptr.
inline const char* read_escape(const char* p, const char* end, std::uint32_t& cp) {
    if (end - p < 2) return nullptr;
    switch (p[1]) {
        case '"':
            cp = '"';
            return p + 2;
        case '\\':
            cp = '\\';
            return p + 2;
        case '/':
            cp = '/';
            return p + 2;
        case 'b':
            cp = '\b';
            return p + 2;
        case 'f':
            cp = '\f';
            return p + 2;
        case 'n':
            cp = '\n';
            return p + 2;
        case 'r':
            cp = '\r';
            return p + 2;
        case 't':
            cp = '\t';
            return p + 2;
        case 'u':
            break;
        default:
            return nullptr;
    }
    if (end - p < 6) return nullptr;
    const long hi = read_hex4(p + 2);
    if (hi < 0) return nullptr;
    if (hi < 0xD800 || hi > 0xDFFF) {
        cp = static_cast<std::uint32_t>(hi);
        return p + 6;
    }
    if (hi > 0xDBFF) return nullptr;  // a low surrogate on its own
    if (end - p < 12 || p[6] != '\\' || p[7] != 'u') return nullptr;
    const long lo = read_hex4(p + 8);
    if (lo < 0xDC00 || lo > 0xDFFF) return nullptr;
    cp = 0x10000 + ((static_cast<std::uint32_t>(hi) - 0xD800) << 10) + (static_cast<std::uint32_t>(lo) - 0xDC00);
    return p + 12;
}

inline void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// `p` is just after the opening quote. Validates the rest of the string and
// returns the position after the closing quote, or nullptr.
inline const char* skip_string_body(const char* p, const char* end) {
    for (;;) {
        p = find_string_special(p, end);
        if (p == end) return nullptr;
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"') return p + 1;
        if (c == '\\') {
            std::uint32_t cp;
            p = read_escape(p, end, cp);
        } else if (c < 0x20) {
            return nullptr;
        } else {
            p = skip_utf8_sequence(p, end);
        }
        if (!p) return nullptr;
    }
}

// Parses the validated number text [b, e) as a double. Underflow reads as a
// zero of the right sign; overflow to infinity fails.
bool parse_double(const char* b, const char* e, double& out) {
    const auto r = std::from_chars(b, e, out);
    if (r.ec == std::errc{} && r.ptr == e) return true;
    if (r.ec != std::errc::result_out_of_range) return false;
    // Out of range: decide between overflow and underflow from the decimal
    // exponent of the first significant digit (they lie ~600 decades apart).
    const char* p = b;
    const bool neg = *p == '-';
    if (neg) ++p;
    long long lead = 0;
    if (*p != '0') {
        const char* s = p;
        while (p != e && is_digit(*p)) ++p;
        lead = p - s - 1;
        if (p != e && *p == '.') ++p;
        while (p != e && is_digit(*p)) ++p;
    } else {
        ++p;
        if (p != e && *p == '.') {
            ++p;
            long long zeros = 0;
            while (p != e && *p == '0') ++p, ++zeros;
            lead = -(zeros + 1);
            while (p != e && is_digit(*p)) ++p;
        }
    }
    long long exp = 0;
    if (p != e && (*p | 0x20) == 'e') {
        ++p;
        bool eneg = false;
        if (*p == '+' || *p == '-') eneg = *p++ == '-';
        for (; p != e; ++p) exp = std::min<long long>(exp * 10 + (*p - '0'), 1'000'000'000LL);
        if (eneg) exp = -exp;
    }
    if (lead + exp > 0) return false;
    out = neg ? -0.0 : 0.0;
    return true;
}

// `p` is at the first byte of a number. Validates the number grammar and
// returns the position after it, or nullptr. Numbers that could overflow a
// double (an exponent, or a very long integer part) are converted to check.
inline const char* skip_number(const char* p, const char* end) {
    const char* const start = p;
    if (*p == '-' && ++p == end) return nullptr;
    const char* int_start = p;
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        while (++p != end && is_digit(*p)) {}
    } else {
        return nullptr;
    }
    bool check = p - int_start > 300;
    if (p != end && *p == '.') {
        if (++p == end || !is_digit(*p)) return nullptr;
        while (++p != end && is_digit(*p)) {}
    }
    if (p != end && (*p | 0x20) == 'e') {
        if (++p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return nullptr;
        while (++p != end && is_digit(*p)) {}
        check = true;
    }
    if (check) {
        double d;
        if (!parse_double(start, p, d)) return nullptr;
    }
    return p;
}

inline const char* skip_literal(const char* p, const char* end, const char* word, std::size_t n) {
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return nullptr;
    return p + n;
}

inline const char* skip_ws_ptr(const char* p, const char* end) {
    while (p != end && is_ws(*p)) ++p;
    return p;
}

inline bool is_scalar_delimiter(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case '"':
        case ',':
        case ':':
        case '[':
        case ']':
        case '{':
        case '}':
            return true;
        default:
            return false;
    }
}

// Sorts the members of a nested object by key (byte-wise) and keeps the last
// of equal keys. Objects written by us are already sorted and unique.
void normalize_object(MetadataObject& obj) {
    bool ordered = true;
    for (std::size_t i = 1; i < obj.size(); ++i) {
        if (!(obj[i - 1].first < obj[i].first)) {
            ordered = false;
            break;
        }
    }
    if (ordered) return;
    std::stable_sort(obj.begin(), obj.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t w = 0;
    for (std::size_t i = 0; i < obj.size(); ++i) {
        if (w > 0 && obj[w - 1].first == obj[i].first)
            obj[w - 1].second = std::move(obj[i].second);
        else if (w != i)
            obj[w++] = std::move(obj[i]);
        else
            ++w;
    }
    obj.erase(obj.begin() + static_cast<std::ptrdiff_t>(w), obj.end());
}

}  // namespace

const char* skip_json_value(const char* p, const char* end, const int parent_depth) {
    // Bit d set: the container at depth d is an array.
    std::uint64_t array_bits[2] = {0, 0};
    auto is_array = [&](int d) { return (array_bits[d >> 6] >> (d & 63)) & 1; };
    int depth = parent_depth;

value:
    if (p == end) return nullptr;
    switch (*p) {
        case '{':
            if (depth >= kMaxMetadataDepth) return nullptr;
            ++depth;
            array_bits[depth >> 6] &= ~(std::uint64_t{1} << (depth & 63));
            p = skip_ws_ptr(p + 1, end);
            if (p != end && *p == '}') {
                ++p;
                --depth;
                goto after_value;
            }
            goto member;
        case '[':
            if (depth >= kMaxMetadataDepth) return nullptr;
            ++depth;
            array_bits[depth >> 6] |= std::uint64_t{1} << (depth & 63);
            p = skip_ws_ptr(p + 1, end);
            if (p != end && *p == ']') {
                ++p;
                --depth;
                goto after_value;
            }
            goto value;
        case '"':
            p = skip_string_body(p + 1, end);
            break;
        case 't':
            p = skip_literal(p, end, "true", 4);
            break;
        case 'f':
            p = skip_literal(p, end, "false", 5);
            break;
        case 'n':
            p = skip_literal(p, end, "null", 4);
            break;
        default:
            p = skip_number(p, end);
            break;
    }
    if (!p) return nullptr;

after_value:
    if (depth == parent_depth) return p;
    p = skip_ws_ptr(p, end);
    if (p == end) return nullptr;
    if (*p == ',') {
        p = skip_ws_ptr(p + 1, end);
        if (is_array(depth)) goto value;
        goto member;
    }
    if (*p == (is_array(depth) ? ']' : '}')) {
        ++p;
        --depth;
        goto after_value;
    }
    return nullptr;

member:
    if (p == end || *p != '"') return nullptr;
    p = skip_string_body(p + 1, end);
    if (!p) return nullptr;
    p = skip_ws_ptr(p, end);
    if (p == end || *p != ':') return nullptr;
    p = skip_ws_ptr(p + 1, end);
    goto value;
}

bool JsonCursor::skip_value(int parent_depth) {
    const char* q = skip_json_value(p, end, parent_depth);
    if (!q) return false;
    p = q;
    return true;
}

bool JsonCursor::read_string(std::string& out) {
    const char* run = ++p;  // past the opening quote
    bool reserved = false;
    for (;;) {
        const char* q = find_string_special(p, end);
        if (q == end) return false;
        const auto c = static_cast<unsigned char>(*q);
        if (c == '"') {
            out.append(run, static_cast<std::size_t>(q - run));
            p = q + 1;
            return true;
        }
        if (c == '\\') {
            if (!reserved) {
                // The unescaped text is no longer than the rest of the string.
                const char* close = skip_string_body(q, end);
                if (!close) return false;
                out.reserve(out.size() + static_cast<std::size_t>(close - run));
                reserved = true;
            }
            out.append(run, static_cast<std::size_t>(q - run));
            std::uint32_t cp;
            p = read_escape(q, end, cp);
            if (!p) return false;
            if (cp < 0x80)
                out.push_back(static_cast<char>(cp));
            else
                append_utf8(out, cp);
            run = p;
        } else if (c < 0x20) {
            return false;
        } else {
            p = skip_utf8_sequence(q, end);
            if (!p) return false;
        }
    }
}

bool JsonCursor::read_string_view(std::string& scratch, std::string_view& out) {
    const char* const start = p + 1;
    for (const char* q = start;;) {
        q = find_string_special(q, end);
        if (q == end) return false;
        const auto c = static_cast<unsigned char>(*q);
        if (c == '"') {
            out = std::string_view(start, static_cast<std::size_t>(q - start));
            p = q + 1;
            return true;
        }
        if (c == '\\') break;
        if (c < 0x20) return false;
        q = skip_utf8_sequence(q, end);
        if (!q) return false;
    }
    scratch.clear();
    if (!read_string(scratch)) return false;
    out = scratch;
    return true;
}

bool JsonCursor::read_number(Number& out) {
    const char* const start = p;
    const bool neg = *p == '-';
    if (neg && ++p == end) return false;
    std::uint64_t v = 0;
    bool fits = true;
    std::ptrdiff_t n = 1;  // digits before the point
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        const char* const digits = p;
        while (p != end && is_digit(*p)) ++p;
        n = p - digits;
        if (n <= 19) {
            for (const char* d = digits; d != p; ++d) v = v * 10 + static_cast<unsigned>(*d - '0');
        } else if (n == 20) {
            for (const char* d = digits; d != p && fits; ++d)
                fits = !__builtin_mul_overflow(v, 10u, &v) &&
                       !__builtin_add_overflow(v, static_cast<unsigned>(*d - '0'), &v);
        } else {
            fits = false;
        }
    } else {
        return false;
    }
    // A number of at most 19 digits also as those digits read as one integer
    // and the power of ten that scales it.
    bool short_form = n <= 19;
    std::uint64_t mantissa = v;
    int scale = 0;
    bool integral = true;
    if (p != end && *p == '.') {
        if (++p == end || !is_digit(*p)) return false;
        const char* const fraction = p;
        while (++p != end && is_digit(*p)) {}
        short_form = short_form && n + (p - fraction) <= 19;
        if (short_form) {
            for (const char* d = fraction; d != p; ++d) mantissa = mantissa * 10 + static_cast<unsigned>(*d - '0');
            scale = -static_cast<int>(p - fraction);
        }
        integral = false;
    }
    if (p != end && (*p | 0x20) == 'e') {
        bool negative_exponent = false;
        if (++p != end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
        if (p == end || !is_digit(*p)) return false;
        const char* const exponent = p;
        int e = 0;
        for (; p != end && is_digit(*p); ++p)
            if (p - exponent < 4) e = e * 10 + (*p - '0');
        short_form = short_form && p - exponent < 4;
        scale += negative_exponent ? -e : e;
        integral = false;
    }
    if (integral && fits) {
        if (!neg || v == 0) {
            out.kind = Number::Kind::U64;
            out.u = v;
            return true;
        }
        if (v <= (std::uint64_t{1} << 63)) {
            out.kind = Number::Kind::I64;
            out.i = static_cast<std::int64_t>(~v + 1);
            return true;
        }
    }
    out.kind = Number::Kind::Double;
    // Digits that a double holds exactly, scaled by a power of ten it holds
    // exactly: one multiplication or division, rounded once, is the correctly
    // rounded value, what the full conversion gives.
    static constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (short_form && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        const auto m = static_cast<double>(mantissa);
        const double d = scale < 0 ? m / kExactPowers[-scale] : m * kExactPowers[scale];
        out.d = neg ? -d : d;
        return true;
    }
    return parse_double(start, p, out.d);
}

bool JsonCursor::read_value(MetadataValue& out, int parent_depth) {
    if (p == end) return false;
    switch (*p) {
        case '{': {
            if (parent_depth >= kMaxMetadataDepth) return false;
            auto& obj = out.v.emplace<MetadataObject>();
            ++p;
            skip_ws();
            if (eat('}')) return true;
            for (;;) {
                if (p == end || *p != '"') return false;
                auto& member = obj.emplace_back();
                if (!read_string(member.first)) return false;
                skip_ws();
                if (!eat(':')) return false;
                skip_ws();
                if (!read_value(member.second, parent_depth + 1)) return false;
                skip_ws();
                if (eat(',')) {
                    skip_ws();
                    continue;
                }
                if (eat('}')) break;
                return false;
            }
            normalize_object(obj);
            return true;
        }
        case '[': {
            if (parent_depth >= kMaxMetadataDepth) return false;
            auto& arr = out.v.emplace<MetadataArray>();
            ++p;
            skip_ws();
            if (eat(']')) return true;
            arr.reserve(4);
            for (;;) {
                if (!read_value(arr.emplace_back(), parent_depth + 1)) return false;
                skip_ws();
                if (eat(',')) {
                    skip_ws();
                    continue;
                }
                if (eat(']')) return true;
                return false;
            }
        }
        case '"':
            return read_string(out.v.emplace<std::string>());
        case 't':
            if (!(p = skip_literal(p, end, "true", 4))) return false;
            out.v = true;
            return true;
        case 'f':
            if (!(p = skip_literal(p, end, "false", 5))) return false;
            out.v = false;
            return true;
        case 'n':
            if (!(p = skip_literal(p, end, "null", 4))) return false;
            out.v = std::monostate{};
            return true;
        default: {
            Number n;
            if (!read_number(n)) return false;
            switch (n.kind) {
                case Number::Kind::U64:
                    out.v = n.u;
                    break;
                case Number::Kind::I64:
                    out.v = n.i;
                    break;
                case Number::Kind::Double:
                    out.v = n.d;
                    break;
            }
            return true;
        }
    }
}

bool JsonCursor::copy_value(std::string& out, int parent_depth) {
    if (p == end) return false;
    switch (*p) {
        case '{': {
            MetadataValue object;
            if (!read_value(object, parent_depth)) return false;
            append_json_value(out, object);
            return true;
        }
        case '[': {
            if (parent_depth >= kMaxMetadataDepth) return false;
            ++p;
            skip_ws();
            out.push_back('[');
            if (eat(']')) {
                out.push_back(']');
                return true;
            }
            for (;;) {
                if (!copy_value(out, parent_depth + 1)) return false;
                skip_ws();
                if (eat(',')) {
                    out.push_back(',');
                    skip_ws();
                    continue;
                }
                if (eat(']')) {
                    out.push_back(']');
                    return true;
                }
                return false;
            }
        }
        case '"': {
            std::string scratch;
            std::string_view text;
            if (!read_string_view(scratch, text)) return false;
            append_json_string(out, text);
            return true;
        }
        case 't':
            if (!(p = skip_literal(p, end, "true", 4))) return false;
            out.append("true");
            return true;
        case 'f':
            if (!(p = skip_literal(p, end, "false", 5))) return false;
            out.append("false");
            return true;
        case 'n':
            if (!(p = skip_literal(p, end, "null", 4))) return false;
            out.append("null");
            return true;
        default: {
            // A number: read as read_value reads it, written as the writer writes it.
            MetadataValue v;
            if (!read_value(v, parent_depth)) return false;
            append_json_value(out, v);
            return true;
        }
    }
}

bool is_stored_form(std::string_view text, int parent_depth) {
    const char* p = text.data();
    const char* const end = p + text.size();
    int depth = parent_depth;  // the level of the array holding the next value
    for (;;) {
        // A value at p.
        if (p == end) return false;
        switch (*p) {
            case '[':
                if (depth >= kMaxMetadataDepth) return false;
                ++depth;
                if (++p != end && *p != ']') continue;  // to its first element
                break;                                  // at an empty array's ']', closed below
            case '"':
                // Bytes the writer copies as they are: no escape, no control byte.
                for (++p;;) {
                    p = find_string_special(p, end);
                    if (p == end || static_cast<unsigned char>(*p) < 0x80) break;
                    if (!(p = skip_utf8_sequence(p, end))) return false;
                }
                if (p == end || *p != '"') return false;
                ++p;
                break;
            case 't':
                if (!(p = skip_literal(p, end, "true", 4))) return false;
                break;
            case 'f':
                if (!(p = skip_literal(p, end, "false", 5))) return false;
                break;
            case 'n':
                if (!(p = skip_literal(p, end, "null", 4))) return false;
                break;
            default: {
                // An integer of up to 18 digits, written as the writer writes it.
                const char* const first = p;
                if (*p == '-') ++p;
                if (p == end || *p < '0' || *p > '9') return false;
                if (*p == '0') {
                    if (++p - first == 2) return false;  // "-0" is stored as 0
                } else {
                    const char* const digits = p;
                    while (p != end && *p >= '0' && *p <= '9') ++p;
                    if (p - digits > 18) return false;
                }
            }
        }
        // After a value: arrays closed, then the next element or the end.
        for (;;) {
            if (depth == parent_depth) return p == end;
            if (p == end) return false;
            if (*p == ']') {
                ++p;
                --depth;
                continue;
            }
            if (*p != ',') return false;
            ++p;
            break;
        }
    }
}

}  // namespace json

// Reads a stored text as metadata_from_json_text does. With a `wanted` key
// list, members whose key is not on it are validated and stepped over instead
// of being built; their keys are compared in place when they hold no escape.
struct MetadataTextReader {
    static std::optional<MetadataMap> read(std::string_view text, const std::span<const std::string>* wanted) {
        json::JsonCursor c{text.data(), text.data() + text.size()};
        c.skip_ws();
        if (!c.eat('{')) return std::nullopt;
        MetadataMap map;
        c.skip_ws();
        if (!c.eat('}')) {
            if (!wanted) map.reserve(8);
            for (;;) {
                if (c.at_end() || *c.p != '"') return std::nullopt;
                std::string key;
                bool keep = true;
                if (wanted) {
                    const char* body = c.p + 1;
                    const char* after = json::skip_string_body(body, c.end);
                    if (!after) return std::nullopt;
                    const std::string_view raw(body, static_cast<std::size_t>(after - 1 - body));
                    if (std::find(raw.begin(), raw.end(), '\\') == raw.end()) {
                        c.p = after;
                        keep = is_wanted(*wanted, raw);
                        if (keep) key.assign(raw);
                    } else {
                        if (!c.read_string(key)) return std::nullopt;
                        keep = is_wanted(*wanted, key);
                    }
                } else if (!c.read_string(key)) {
                    return std::nullopt;
                }
                c.skip_ws();
                if (!c.eat(':')) return std::nullopt;
                c.skip_ws();
                if (!keep) {
                    if (!c.skip_value(1)) return std::nullopt;
                } else if (!c.read_value(map.value_slot(std::move(key)), 1)) {
                    // A repeated key is parsed over the earlier value: the last one wins.
                    return std::nullopt;
                }
                c.skip_ws();
                if (c.eat(',')) {
                    c.skip_ws();
                    continue;
                }
                if (c.eat('}')) break;
                return std::nullopt;
            }
        }
        c.skip_ws();
        if (!c.at_end()) return std::nullopt;
        return map;
    }

    static bool is_wanted(std::span<const std::string> wanted, std::string_view key) {
        for (const auto& k : wanted)
            if (k.size() == key.size() && (key.empty() || (k[0] == key[0] && k == key))) return true;
        return false;
    }
};

std::optional<MetadataMap> metadata_from_json_text(std::string_view text) {
    return MetadataTextReader::read(text, nullptr);
}

std::optional<MetadataMap> metadata_subset_from_json_text(std::string_view text, std::span<const std::string> keys) {
    return MetadataTextReader::read(text, &keys);
}

bool metadata_text_readable(std::string_view text) {
    const char* const end = text.data() + text.size();
    const char* p = json::skip_ws_ptr(text.data(), end);
    if (p == end || *p != '{') return false;
    p = json::skip_json_value(p, end, 0);
    return p && json::skip_ws_ptr(p, end) == end;
}

std::optional<std::size_t> scan_json_value(std::string_view text) {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = json::skip_ws_ptr(begin, end);
    if (p == end) return std::nullopt;
    const char first = *p;
    const char* q = json::skip_json_value(p, end, 0);
    if (!q) return std::nullopt;
    // A bare number or literal must not run into other text ("12ab", "truex").
    if (first != '{' && first != '[' && first != '"' && q != end && !json::is_scalar_delimiter(*q)) return std::nullopt;
    return static_cast<std::size_t>(q - begin);
}

}  // namespace orbisk
