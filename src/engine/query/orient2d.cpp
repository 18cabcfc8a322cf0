// orient2d in stages, each tried only when the one before cannot decide:
//
//   A. The floating-point determinant with its forward error bound. Nearly
//      every call ends here.
//   B. The determinant of the rounded coordinate differences, computed exactly
//      as an expansion (a sum of non-overlapping doubles, smallest first). When
//      the differences were themselves exact, its sign is the answer.
//   C. The whole determinant as an expansion, from the differences and their
//      rounding errors.
//
// The error bounds and the expansion arithmetic follow J. R. Shewchuk, "Adaptive
// Precision Floating-Point Arithmetic and Fast Robust Geometric Predicates"
// (1997). Expansions are exact only while no product overflows or underflows,
// which holds when every input is zero or between 2^-450 and 2^450 in
// magnitude. Finite inputs outside that band (degrees never are) skip the
// stages: their sign comes from a wide-integer sum of the determinant's six
// products.
#include "engine/query/orient2d.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace orbisk {
namespace {

constexpr double kEpsilon = 0x1p-53;  // half an ulp of 1.0
constexpr double kSplitter = 0x1p27 + 1.0;
constexpr double kBoundA = (3.0 + 16.0 * kEpsilon) * kEpsilon;
constexpr double kBoundB = (2.0 + 12.0 * kEpsilon) * kEpsilon;

constexpr double kExpansionMax = 0x1p450;
constexpr double kExpansionMin = 0x1p-450;

bool in_expansion_band(double v) {
    const double m = std::fabs(v);
    return (m <= kExpansionMax) & ((m >= kExpansionMin) | (m == 0.0));  // false for NaN
}

// ---- error-free transformations ---------------------------------------------

// x + y == a + b exactly, x = fl(a + b).
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double bv = x - a;
    const double av = x - bv;
    y = (a - av) + (b - bv);
}

// The rounding error of x = fl(a - b): a - b == x + result exactly.
inline double diff_tail(double a, double b, double x) {
    const double bv = a - x;
    const double av = x + bv;
    return (a - av) + (bv - b);
}

// a == hi + lo, each half with at most 26 significant bits.
inline void split(double a, double& hi, double& lo) {
    const double c = kSplitter * a;
    const double big = c - a;
    hi = c - big;
    lo = a - hi;
}

// x + y == a * b exactly, x = fl(a * b); b is given already split.
inline void two_product_presplit(double a, double b, double bhi, double blo, double& x, double& y) {
    x = a * b;
    double ahi, alo;
    split(a, ahi, alo);
    const double err1 = x - ahi * bhi;
    const double err2 = err1 - alo * bhi;
    const double err3 = err2 - ahi * blo;
    y = alo * blo - err3;
}

inline void two_product(double a, double b, double& x, double& y) {
    double bhi, blo;
    split(b, bhi, blo);
    two_product_presplit(a, b, bhi, blo, x, y);
}

// ---- expansions -------------------------------------------------------------
// An expansion is an array of doubles whose exact sum is the value, ordered by
// increasing magnitude, non-overlapping, zeros removed (but never empty: zero is
// the one-component expansion {0}). Its sign is the sign of its last component.

// h = e * b. h needs room for 2 * n components; returns its length.
std::size_t scale_expansion(const double* e, std::size_t n, double b, double* h) {
    double bhi, blo;
    split(b, bhi, blo);
    double q, hh;
    two_product_presplit(e[0], b, bhi, blo, q, hh);
    std::size_t k = 0;
    if (hh != 0.0) h[k++] = hh;
    for (std::size_t i = 1; i < n; ++i) {
        double p1, p0, sum;
        two_product_presplit(e[i], b, bhi, blo, p1, p0);
        two_sum(q, p0, sum, hh);
        if (hh != 0.0) h[k++] = hh;
        two_sum(p1, sum, q, hh);
        if (hh != 0.0) h[k++] = hh;
    }
    if (q != 0.0 || k == 0) h[k++] = q;
    return k;
}

// h = e + f: the components of both merged by magnitude, then summed from the
// smallest up. h needs room for ne + nf components; returns its length.
std::size_t expansion_sum(const double* e, std::size_t ne, const double* f, std::size_t nf, double* h) {
    std::size_t i = 0, j = 0, k = 0;
    auto next = [&]() {
        if (j == nf || (i < ne && std::fabs(e[i]) < std::fabs(f[j]))) return e[i++];
        return f[j++];
    };
    double q = next();
    while (i < ne || j < nf) {
        double sum, hh;
        two_sum(q, next(), sum, hh);
        if (hh != 0.0) h[k++] = hh;
        q = sum;
    }
    if (q != 0.0 || k == 0) h[k++] = q;
    return k;
}

// (x + xt) * (y + yt) as an expansion of at most 8 components in h.
std::size_t product_of_pairs(double x, double xt, double y, double yt, double* h) {
    const double pair[2] = {xt, x};
    double by_y[4], by_yt[4];
    const std::size_t n1 = scale_expansion(pair, 2, y, by_y);
    const std::size_t n2 = scale_expansion(pair, 2, yt, by_yt);
    return expansion_sum(by_y, n1, by_yt, n2, h);
}

// Stages B and C, for inputs inside the expansion band whose stage A could not decide.
[[gnu::noinline]] double orient2d_exact(double ax, double ay, double bx, double by, double cx, double cy,
                                        double detsum) {
    const double acx = ax - cx, bcx = bx - cx;
    const double acy = ay - cy, bcy = by - cy;

    double l1, l0, r1, r0;
    two_product(acx, bcy, l1, l0);
    two_product(acy, bcx, r1, r0);
    const double left[2] = {l0, l1};
    const double right[2] = {-r0, -r1};
    double b[4];
    const std::size_t nb = expansion_sum(left, 2, right, 2, b);
    double det = 0.0;
    for (std::size_t i = 0; i < nb; ++i) det += b[i];
    if (std::fabs(det) >= kBoundB * detsum) return det;

    const double acxt = diff_tail(ax, cx, acx), bcxt = diff_tail(bx, cx, bcx);
    const double acyt = diff_tail(ay, cy, acy), bcyt = diff_tail(by, cy, bcy);
    // Exact differences: the expansion of stage B is the determinant itself,
    // and the rounded sum of a non-overlapping expansion keeps its sign.
    if (acxt == 0.0 && bcxt == 0.0 && acyt == 0.0 && bcyt == 0.0) return det;

    double lhs[8], rhs[8], d[16];
    const std::size_t nl = product_of_pairs(acx, acxt, bcy, bcyt, lhs);
    const std::size_t nr = product_of_pairs(acy, acyt, bcx, bcxt, rhs);
    for (std::size_t i = 0; i < nr; ++i) rhs[i] = -rhs[i];
    const std::size_t nd = expansion_sum(lhs, nl, rhs, nr, d);
    return d[nd - 1];
}

// ---- outside the expansion band -----------------------------------------------

// A finite double as sign * mantissa * 2^exponent, with an integer mantissa.
struct Decomposed {
    bool negative;
    std::uint64_t mantissa;
    int exponent;
};

Decomposed decompose(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (field != 0) {
        mantissa |= std::uint64_t{1} << 52;
        exponent = field - 1075;
    }
    return {(bits >> 63) != 0, mantissa, exponent};
}

// A two's-complement integer counting units of 2^-2148: every product of two
// finite doubles is a whole number of units below 2^4196, so the sum of six
// fits in 66 limbs with room for the sign.
class WideSum {
public:
    // Adds x * y, or subtracts it.
    void add_product(double x, double y, bool subtract) {
        const Decomposed a = decompose(x);
        const Decomposed b = decompose(y);
        if (a.mantissa == 0 || b.mantissa == 0) return;
        const unsigned __int128 p = static_cast<unsigned __int128>(a.mantissa) * b.mantissa;
        const int shift = a.exponent + b.exponent - kUnitExponent;
        const auto q = static_cast<std::size_t>(shift / 64);
        const int r = shift % 64;
        const auto lo = static_cast<std::uint64_t>(p);
        const auto hi = static_cast<std::uint64_t>(p >> 64);
        std::uint64_t parts[3] = {lo, hi, 0};
        if (r != 0) {
            parts[0] = lo << r;
            parts[1] = (lo >> (64 - r)) | (hi << r);
            parts[2] = hi >> (64 - r);
        }
        if ((a.negative != b.negative) != subtract)
            subtract_at(q, parts);
        else
            add_at(q, parts);
    }

    // -1, 0 or 1.
    int sign() const {
        if (limbs_[kLimbs - 1] >> 63) return -1;
        for (std::uint64_t limb : limbs_)
            if (limb != 0) return 1;
        return 0;
    }

private:
    static constexpr int kUnitExponent = -2148;
    static constexpr std::size_t kLimbs = 66;

    void add_at(std::size_t q, const std::uint64_t (&parts)[3]) {
        unsigned carry = 0;
        for (std::size_t i = q; i < kLimbs; ++i) {
            const std::uint64_t addend = i - q < 3 ? parts[i - q] : 0;
            if (i - q >= 3 && carry == 0) break;
            const std::uint64_t s1 = limbs_[i] + addend;
            const std::uint64_t s2 = s1 + carry;
            carry = (s1 < addend) + (s2 < s1);
            limbs_[i] = s2;
        }
    }

    void subtract_at(std::size_t q, const std::uint64_t (&parts)[3]) {
        unsigned borrow = 0;
        for (std::size_t i = q; i < kLimbs; ++i) {
            const std::uint64_t subtrahend = i - q < 3 ? parts[i - q] : 0;
            if (i - q >= 3 && borrow == 0) break;
            const std::uint64_t d1 = limbs_[i] - subtrahend;
            const std::uint64_t d2 = d1 - borrow;
            borrow = (limbs_[i] < subtrahend) + (d1 < borrow);
            limbs_[i] = d2;
        }
    }

    std::array<std::uint64_t, kLimbs> limbs_{};
};

[[gnu::noinline]] double orient2d_outside_band(double ax, double ay, double bx, double by, double cx, double cy) {
    if (!std::isfinite(ax) || !std::isfinite(ay) || !std::isfinite(bx) || !std::isfinite(by) || !std::isfinite(cx) ||
        !std::isfinite(cy))
        return (ax - cx) * (by - cy) - (ay - cy) * (bx - cx);
    // (ax - cx)(by - cy) - (ay - cy)(bx - cx), multiplied out.
    WideSum sum;
    sum.add_product(ax, by, false);
    sum.add_product(ay, bx, true);
    sum.add_product(bx, cy, false);
    sum.add_product(by, cx, true);
    sum.add_product(cx, ay, false);
    sum.add_product(cy, ax, true);
    return static_cast<double>(sum.sign());
}

}  // namespace

double orient2d(double ax, double ay, double bx, double by, double cx, double cy) {
    // Bitwise, not short-circuit: six predictable tests cost less than branches.
    const bool in_band = in_expansion_band(ax) & in_expansion_band(ay) & in_expansion_band(bx) & in_expansion_band(by) &
                         in_expansion_band(cx) & in_expansion_band(cy);
    if (!in_band) return orient2d_outside_band(ax, ay, bx, by, cx, cy);

    const double detleft = (ax - cx) * (by - cy);
    const double detright = (ay - cy) * (bx - cx);
    const double det = detleft - detright;
    // Inside the band a product is zero only when a difference is exactly zero,
    // so detsum == 0 means det is exactly zero too.
    const double detsum = std::fabs(detleft) + std::fabs(detright);
    if (std::fabs(det) >= kBoundA * detsum) return det;
    return orient2d_exact(ax, ay, bx, by, cx, cy, detsum);
}

}  // namespace orbisk
