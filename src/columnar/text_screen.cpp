#include "columnar/text_screen.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstdint>

namespace orbisk::columnar {

namespace {

// Where the marks read so far leave the screen.
struct Screen {
    int run = 0;        // digits in a row
    int exponent = -1;  // digits after a digit and an exponent mark, or -1
    bool after_digit = false;

    // One byte of the text at p (end: the text's end); false when it fails.
    bool step(const char* p, const char* end) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            after_digit = true;
            return ++run < 19 && (exponent < 0 || ++exponent < 3);
        }
        if (c == '+') return true;  // dropped
        run = 0;
        if (c == 'e' || c == 'E') {
            exponent = after_digit ? 0 : -1;
        } else {
            exponent = -1;
            if (c == '\\' && end - p >= 3 && p[1] == 'u' && (p[2] == 'd' || p[2] == 'D')) return false;
        }
        after_digit = false;
        return true;
    }
};

#if defined(__SSE2__)
// The digits of 64 bytes as bits (bit i: byte i), and whether any byte is
// one the marks treat otherwise than as a digit or a plain byte.
std::uint64_t digit_bits(const char* p, bool& special) {
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9), plus = _mm_set1_epi8('+');
    const __m128i e = _mm_set1_epi8('e'), lower = _mm_set1_epi8(0x20), backslash = _mm_set1_epi8('\\');
    std::uint64_t digits = 0;
    int others = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i t = _mm_sub_epi8(v, zero);
        const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(t, nine), t);
        const __m128i odd = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, plus), _mm_cmpeq_epi8(v, backslash)),
                                         _mm_cmpeq_epi8(_mm_or_si128(v, lower), e));
        digits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(digit))) << (16 * k);
        others |= _mm_movemask_epi8(odd);
    }
    special = others != 0;
    return digits;
}
#endif

}  // namespace

bool json_text_screened(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    Screen s;
#if defined(__SSE2__)
    // 64 bytes at a time while they hold only digits and plain bytes: runs of
    // digits are found in the bits, and the state carried over block ends.
    while (end - p >= 64) {
        bool special = false;
        const std::uint64_t m = digit_bits(p, special);
        if (special) {
            for (const char* const stop = p + 64; p != stop; ++p)
                if (!s.step(p, end)) return false;
            continue;
        }
        const int lead = std::countr_one(m);
        if (s.run + lead >= 19 || (s.exponent >= 0 && s.exponent + lead >= 3)) return false;
        // Bit i survives when bytes i to i + 18 are all digits.
        std::uint64_t y = m;
        y &= y >> 1;
        y &= y >> 2;
        y &= y >> 4;
        y &= y >> 8;
        y &= y >> 3;
        if (y) return false;
        // Not all digits (lead would be 64): the block ends any exponent.
        s.run = std::countl_one(m);
        s.exponent = -1;
        s.after_digit = s.run > 0;
        p += 64;
    }
#endif
    for (; p != end; ++p)
        if (!s.step(p, end)) return false;
    return true;
}

}  // namespace orbisk::columnar
