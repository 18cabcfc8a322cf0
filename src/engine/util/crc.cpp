#include "engine/util/crc.hpp"

#include <sys/mman.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <libdeflate.h>

#include <algorithm>
#include <vector>

#include "engine/util/format.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk {

namespace {

#if defined(__x86_64__)
// Long ranges are folded 256 bytes at a time with carry-less multiplies on
// 512-bit registers, where the processor has them (the library's own code
// folds 16 bytes at a time): the open hashes every committed byte of the data
// files, and at this width the hashing is bound by memory, not by the multiplies.
//
// Folding: the CRC register of a message is M(x) * x^32 mod P; a 128-bit lane
// of message bits D bits ahead of the end is replaced by one congruent to
// lane * x^D mod P, the carry-less products of its two halves with the
// constants below, and added to the lane D bits further on. What is left at the
// end is a 16-byte message with the same CRC from a zero register.

// x^n mod P in the normal bit order (P = 0x104C11DB7).
constexpr std::uint32_t x_to_the(unsigned n) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r & 0x80000000u) ? 0x04C11DB7u : 0u);
    return r;
}

// The multiplier of a lane half in the reflected order of the registers:
// x^n mod P bit-reflected, one bit up (the product of two reflected operands
// comes out one bit low).
constexpr long long fold_constant(unsigned n) {
    const std::uint32_t v = x_to_the(n);
    std::uint64_t r = 0;
    for (int i = 0; i < 32; ++i)
        if (v >> i & 1) r |= std::uint64_t{1} << (31 - i);
    return static_cast<long long>(r << 1);
}

// The lane's first 8 bytes are the higher powers: x^(D+32) multiplies them,
// x^(D-32) the last 8.
#define ORBISK_FOLD(bits) fold_constant((bits)-32), fold_constant((bits) + 32)
constexpr long long kFold2048[2] = {ORBISK_FOLD(2048)};
constexpr long long kFold512[2] = {ORBISK_FOLD(512)};
constexpr long long kFold128[2] = {ORBISK_FOLD(128)};
#undef ORBISK_FOLD

constexpr std::size_t kWideFoldFrom = 256;

#define ORBISK_WIDE_CLMUL __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))

ORBISK_WIDE_CLMUL inline __m512i fold_512(__m512i x, __m512i k, __m512i next) {
    // 0x96: the exclusive or of the three operands.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

ORBISK_WIDE_CLMUL inline __m128i fold_128(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// crc32_continue for len >= kWideFoldFrom.
ORBISK_WIDE_CLMUL std::uint32_t crc32_wide(std::uint32_t crc, const std::uint8_t* p, std::size_t len) {
    // (Set lane by lane: the broadcast and extract intrinsics of this compiler
    // read an undefined register that -Wuninitialized reports.)
    const __m512i k2048 = _mm512_set4_epi64(kFold2048[0], kFold2048[1], kFold2048[0], kFold2048[1]);
    const __m512i k512 = _mm512_set4_epi64(kFold512[0], kFold512[1], kFold512[0], kFold512[1]);
    const __m128i k128 = _mm_set_epi64x(kFold128[0], kFold128[1]);
    // The register enters as the first four message bytes, added in.
    const __m512i reg = _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m512i x0 = _mm512_xor_si512(_mm512_loadu_si512(p), reg);
    __m512i x1 = _mm512_loadu_si512(p + 64), x2 = _mm512_loadu_si512(p + 128), x3 = _mm512_loadu_si512(p + 192);
    p += 256;
    len -= 256;
    for (; len >= 256; p += 256, len -= 256) {
        x0 = fold_512(x0, k2048, _mm512_loadu_si512(p));
        x1 = fold_512(x1, k2048, _mm512_loadu_si512(p + 64));
        x2 = fold_512(x2, k2048, _mm512_loadu_si512(p + 128));
        x3 = fold_512(x3, k2048, _mm512_loadu_si512(p + 192));
    }
    x1 = fold_512(x0, k512, x1);
    x2 = fold_512(x1, k512, x2);
    x3 = fold_512(x2, k512, x3);
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, x3);
    __m128i v = lanes[0];
    for (int i = 1; i < 4; ++i) v = fold_128(v, k128, lanes[i]);
    for (; len >= 16; p += 16, len -= 16) v = fold_128(v, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    alignas(16) std::uint8_t left[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(left), v);
    // From a zero register: the library's entry complements its argument.
    return libdeflate_crc32(libdeflate_crc32(0xFFFFFFFFu, left, 16), p, len);
}

#undef ORBISK_WIDE_CLMUL

bool has_wide_clmul() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("pclmul");
    }();
    return has;
}
#endif

}  // namespace

std::uint32_t crc32(const void* data, std::size_t len) { return crc32_continue(0, data, len); }

std::uint32_t crc32_continue(std::uint32_t crc, const void* data, std::size_t len) {
#if defined(__x86_64__)
    if (len >= kWideFoldFrom && has_wide_clmul()) return crc32_wide(crc, static_cast<const std::uint8_t*>(data), len);
#endif
    return libdeflate_crc32(crc, data, len);
}

namespace {

// The CRC's shift register as a linear map over GF(2): one 32-bit column a bit.
std::uint32_t gf2_times(const std::uint32_t* mat, std::uint32_t vec) {
    std::uint32_t sum = 0;
    for (; vec; vec >>= 1, ++mat)
        if (vec & 1) sum ^= *mat;
    return sum;
}

void gf2_square(std::uint32_t* square, const std::uint32_t* mat) {
    for (int n = 0; n < 32; ++n) square[n] = gf2_times(mat, mat[n]);
}

// Below this many bytes a range is hashed on the calling thread alone.
constexpr std::size_t kParallelCrcFrom = std::size_t{32} << 20;
// The blocks handed to a check while they are in the cache.
constexpr std::size_t kCheckBlock = std::size_t{128} << 10;

}  // namespace

std::uint32_t crc32_combine(std::uint32_t crc1, std::uint32_t crc2, std::uint64_t len2) {
    if (len2 == 0) return crc1;
    // The operator that appends one zero bit, squared into those of 2, 4, ... zero bytes,
    // applied to crc1 for each set bit of len2.
    std::uint32_t even[32], odd[32];
    odd[0] = 0xEDB88320u;
    for (int n = 1; n < 32; ++n) odd[n] = std::uint32_t{1} << (n - 1);
    gf2_square(even, odd);  // two zero bits
    gf2_square(odd, even);  // four zero bits
    do {
        gf2_square(even, odd);  // one zero byte, then 4, 16, ...
        if (len2 & 1) crc1 = gf2_times(even, crc1);
        len2 >>= 1;
        if (!len2) break;
        gf2_square(odd, even);
        if (len2 & 1) crc1 = gf2_times(odd, crc1);
        len2 >>= 1;
    } while (len2);
    return crc1 ^ crc2;
}

namespace {

// Asks the kernel to map a range's pages before it is read: for a file mapping
// in the page cache, one call for the range costs less than a fault every few
// pages. Only a hint: a failure leaves the reads to fault as before.
void populate_for_read(const std::uint8_t* p, std::size_t n) {
#ifdef MADV_POPULATE_READ
    const auto first = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
    const auto end = reinterpret_cast<std::uintptr_t>(p) + n;
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_READ);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace

std::uint32_t crc32_parallel(const void* data, std::size_t len,
                             const std::function<void(std::size_t, std::size_t)>& also) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    // Hashes [begin, end) block by block, each block then handed to `also`.
    auto hash = [&](std::size_t begin, std::size_t end) {
        if (!also) return crc32(bytes + begin, end - begin);
        std::uint32_t crc = 0;
        for (std::size_t at = begin; at < end;) {
            const std::size_t stop = std::min(end, at + kCheckBlock);
            crc = crc32_continue(crc, bytes + at, stop - at);
            also(at, stop);
            at = stop;
        }
        return crc;
    };
    WorkerPool& pool = WorkerPool::instance();
    const std::size_t parts = pool.threads() + 1;
    if (len < kParallelCrcFrom || parts < 2) return hash(0, len);
    const std::size_t step = (len / parts + 4095) & ~std::size_t{4095};
    std::vector<std::uint32_t> crcs(parts, 0);
    pool.run(parts, [&](std::size_t i) {
        const std::size_t begin = std::min(len, i * step), end = i + 1 == parts ? len : std::min(len, (i + 1) * step);
        populate_for_read(bytes + begin, end - begin);
        crcs[i] = hash(begin, end);
    });
    std::uint32_t crc = crcs[0];
    for (std::size_t i = 1; i < parts; ++i) {
        const std::size_t begin = std::min(len, i * step), end = i + 1 == parts ? len : std::min(len, (i + 1) * step);
        crc = crc32_combine(crc, crcs[i], end - begin);
    }
    return crc;
}

std::uint32_t crc_extend(CrcCache& cache, const std::uint8_t* map, std::uint64_t map_len, std::uint64_t n) {
    if (n > map_len || map_len - n < kDataStart) return 0;
    if (n < cache.covered) cache.reset();
    if (n > cache.covered) {
        std::uint32_t crc = crc32_continue(~cache.reg, map + kDataStart + cache.covered, n - cache.covered);
        cache.reg = ~crc;
        cache.covered = n;
    }
    return ~cache.reg;
}

}  // namespace orbisk
