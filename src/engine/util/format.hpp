// Byte-level layout shared by the data files, the manifest and the log.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace orbisk {

// Data files: a 64-byte header ("ZURAD004", record count at offset 8), data from offset 64.
inline constexpr std::uint64_t kDataStart = 64;
inline constexpr char kDataMagic[8] = {'Z', 'U', 'R', 'A', 'D', '0', '0', '4'};
inline constexpr std::uint64_t kHeaderCountOffset = 8;
// Coordinate records: latitude then longitude, 8 bytes each.
inline constexpr std::uint64_t kCoordRecord = 16;
// Both fields of a deleted point's coordinate record hold this quiet NaN.
inline constexpr std::uint64_t kTombstoneBits = 0x7FF8000000000000ull;

inline std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian host
}
inline std::uint32_t load_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline double load_f64(const std::uint8_t* p) {
    double v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store_u64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
inline void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_f64(std::uint8_t* p, double v) { std::memcpy(p, &v, 8); }

static_assert(std::endian::native == std::endian::little, "the file formats are little-endian");

}  // namespace orbisk
