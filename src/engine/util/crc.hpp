// CRC-32 (IEEE 802.3, reflected, as zlib computes it) and the running caches
// that let a checkpoint hash only what was appended since the last one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace orbisk {

std::uint32_t crc32(const void* data, std::size_t len);
// Continues `crc` (a finished CRC of earlier bytes) over more bytes.
std::uint32_t crc32_continue(std::uint32_t crc, const void* data, std::size_t len);
// The CRC of the bytes of `crc1` followed by `len2` bytes whose CRC is `crc2`.
std::uint32_t crc32_combine(std::uint32_t crc1, std::uint32_t crc2, std::uint64_t len2);
// crc32 of a long range, its parts hashed on the worker pool and combined.
// `also`, when given, is called with each block of the range, [begin, end) in
// bytes from `data`, right after the block is hashed and on the same thread:
// a check of the bytes then reads them from the cache, not from memory again.
// Blocks start at multiples of 4096 bytes; calls may come from several threads at once.
std::uint32_t crc32_parallel(const void* data, std::size_t len,
                             const std::function<void(std::size_t, std::size_t)>& also = {});

// CRC register over the first `covered` bytes of a data area (from offset 64).
struct CrcCache {
    std::uint32_t reg = 0xFFFFFFFFu;
    std::uint64_t covered = 0;

    void reset() { *this = CrcCache{}; }
    // The cache of a region whose first `n` bytes have CRC `crc`.
    static CrcCache of(std::uint32_t crc, std::uint64_t n) { return CrcCache{~crc, n}; }
};

// CRC-32 of the first `n` bytes of the data area of a mapping of `map_len` bytes
// starting at `map`. Returns 0 (cache untouched) when the mapping is too short.
std::uint32_t crc_extend(CrcCache& cache, const std::uint8_t* map, std::uint64_t map_len, std::uint64_t n);

}  // namespace orbisk
