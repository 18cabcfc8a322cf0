#include "engine/util/crc.hpp"

#include <libdeflate.h>

#include "engine/util/format.hpp"

namespace orbisk {

std::uint32_t crc32(const void* data, std::size_t len) { return libdeflate_crc32(0, data, len); }

std::uint32_t crc32_continue(std::uint32_t crc, const void* data, std::size_t len) {
    return libdeflate_crc32(crc, data, len);
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
