#include "engine/util/crc.hpp"

#include <sys/mman.h>

#include <libdeflate.h>

#include <algorithm>
#include <vector>

#include "engine/util/format.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk {

std::uint32_t crc32(const void* data, std::size_t len) { return libdeflate_crc32(0, data, len); }

std::uint32_t crc32_continue(std::uint32_t crc, const void* data, std::size_t len) {
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

std::uint32_t crc32_parallel(const void* data, std::size_t len) {
    WorkerPool& pool = WorkerPool::instance();
    const std::size_t parts = pool.threads() + 1;
    if (len < kParallelCrcFrom || parts < 2) return crc32(data, len);
    const std::size_t step = (len / parts + 4095) & ~std::size_t{4095};
    std::vector<std::uint32_t> crcs(parts, 0);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    pool.run(parts, [&](std::size_t i) {
        const std::size_t begin = std::min(len, i * step), end = i + 1 == parts ? len : std::min(len, (i + 1) * step);
        populate_for_read(bytes + begin, end - begin);
        crcs[i] = crc32(bytes + begin, end - begin);
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
