// The open cache: what an open derives from the committed data of one data
// generation (where each metadata entry ends, which slots are live, and the
// grid index built from them), written to a file of its own so that the next
// open maps it instead of walking every record.
//
// The cache is never the source of truth. It names the committed state it was
// derived from (generation, slot and live counts, the manifest's region
// lengths and CRCs) and carries a CRC-32 of its header and of each section; an
// open uses it only when all of that agrees with the manifest and with the
// data files it has just checked against the manifest, and derives the state
// from the data files otherwise. So a missing, stale or damaged cache costs
// time and never changes an answer.
//
// It is written after a checkpoint, to a temporary name renamed over the
// cache's, and never forced: a crash leaves the old file, no file, or a file
// whose CRCs or stamp the next open rejects. A checkpoint that commits a new
// state removes the cache of the old one before its manifest is renamed, so
// that a cache on disk describes the committed state or nothing. The byte
// layout is in docs/format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"
#include "engine/storage/manifest.hpp"

namespace orbisk {

inline constexpr char kOpenCacheMagic[8] = {'Z', 'U', 'R', 'A', 'D', 'O', 'C', '1'};
inline constexpr std::uint64_t kOpenCacheHeaderSize = 192;
// Stores with fewer committed slots open fast enough without a cache and get
// none. The test build, whose fault campaign and crash tests run on small
// stores, caches them from 64 slots on, so that they go through the cache.
#ifdef ORBISK_FAULT_INJECTION
inline constexpr std::uint64_t kOpenCacheMinSlots = 64;
#else
inline constexpr std::uint64_t kOpenCacheMinSlots = 8192;
#endif

// Below this many slots, building a grid for a cache costs a flush little
// (under about a tenth of a second), and a flush writes the cache whenever it
// is missing; above, only once the store has changed by an eighth since the
// last cache (Storage::open_cache_worth_a_build).
inline constexpr std::uint64_t kOpenCacheBuildFreelyBelow = std::uint64_t{1} << 20;

// The sections, in file order.
enum class CacheSection : std::uint32_t {
    EntryEnds = 0,    // next_slot u64: where each slot's metadata entry ends
    LiveWords = 1,    // ceil(next_slot / 64) u64: the live bitmap's words
    GridHeader = 2,   // the grid's cell size (f64) and cell count (u64)
    GridCells = 3,    // per cell: key u64, first entry u64, entry count u32, sorted count u32
    GridEntries = 4,  // the cells' entries, u64, cell after cell
};
inline constexpr std::size_t kOpenCacheSections = 5;

// The committed state a cache describes.
struct CacheStamp {
    std::uint64_t generation = 0;
    std::uint64_t next_slot = 0;
    std::uint64_t live_count = 0;
    std::uint64_t coords_bytes = 0;
    std::uint64_t metadata_bytes = 0;
    std::uint32_t coords_crc = 0;
    std::uint32_t metadata_crc = 0;
    friend bool operator==(const CacheStamp&, const CacheStamp&) = default;
};
CacheStamp stamp_of(const CommitManifest& m, std::uint64_t live_count);

// One section's bytes, in pieces written one after the other.
using CachePieces = std::vector<std::span<const std::uint8_t>>;

// The cache file of generation `g` of the store whose generation-0 coordinates
// file is `coords_base`, and the one temporary name caches are written under.
std::string open_cache_path(const std::string& coords_base, std::uint64_t g);
std::string open_cache_temp_path(const std::string& coords_base);

// Writes a cache: the temporary file, then the rename over `path`. Nothing is forced.
Status write_open_cache(const std::string& path, const std::string& temp_path, const CacheStamp& stamp,
                        const std::vector<CachePieces>& sections);

// A cache file mapped for reading and checked: header, section CRCs, the stamp
// against the manifest, and the entry ends and live words against the stamp.
class OpenCache {
public:
    // The checked cache, or an error whose text says what is wrong with it (an
    // operating-system error when it cannot be read, ENOENT when it is missing).
    static Result<std::shared_ptr<const OpenCache>> read(const std::string& path, const CommitManifest& manifest);

    const CacheStamp& stamp() const { return stamp_; }
    std::span<const std::uint8_t> section(CacheSection s) const {
        const auto i = static_cast<std::size_t>(s);
        return {static_cast<const std::uint8_t*>(map_.data()) + offsets_[i], lengths_[i]};
    }
    // A section as 64-bit words, in place (sections are 8-byte aligned).
    std::span<const std::uint64_t> words(CacheSection s) const {
        const auto b = section(s);
        return {reinterpret_cast<const std::uint64_t*>(b.data()), b.size() / 8};
    }

private:
    OpenCache() = default;
    SharedBytes map_;  // the whole file, read-only
    CacheStamp stamp_;
    std::uint64_t offsets_[kOpenCacheSections] = {};
    std::uint64_t lengths_[kOpenCacheSections] = {};
};

}  // namespace orbisk
