#include "engine/storage/open_cache.hpp"

#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "engine/storage/paths.hpp"
#include "engine/util/crc.hpp"
#include "engine/util/format.hpp"
#include "engine/util/slot_bitmap.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

constexpr std::uint64_t kTableOffset = 64;
constexpr std::uint64_t kTableEntry = 24;
constexpr std::uint64_t kHeaderCrcOffset = kTableOffset + kTableEntry * kOpenCacheSections;  // 184
static_assert(kHeaderCrcOffset + 8 == kOpenCacheHeaderSize);

const char* const kSectionNames[kOpenCacheSections] = {"entry ends", "live bitmap", "grid header", "grid cells",
                                                       "grid entries"};

constexpr std::uint64_t align8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

Error damaged(std::string what) { return Error::invalid(std::move(what)); }

// Writes a file from many pieces, most of them small (a grid's cells, one
// piece each): the small ones are gathered and written a megabyte at a time,
// not one system call each.
class GatheredWrites {
public:
    explicit GatheredWrites(File& file) : file_(file) {}
    Status put(const void* data, std::size_t len) {
        if (len >= kDirect) {
            if (auto st = flush(); !st) return st;
            return file_.write_all(data, len);
        }
        if (buffer_.size() + len > kBuffer)
            if (auto st = flush(); !st) return st;
        const auto* p = static_cast<const std::uint8_t*>(data);
        buffer_.insert(buffer_.end(), p, p + len);
        return {};
    }
    Status flush() {
        if (buffer_.empty()) return {};
        const Status st = file_.write_all(buffer_.data(), buffer_.size());
        buffer_.clear();
        return st;
    }

private:
    static constexpr std::size_t kBuffer = 1 << 20;
    static constexpr std::size_t kDirect = 256 << 10;
    File& file_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace

CacheStamp stamp_of(const CommitManifest& m, std::uint64_t live_count) {
    return CacheStamp{m.generation,     m.next_slot,  live_count,    m.coords_bytes,
                      m.metadata_bytes, m.coords_crc, m.metadata_crc};
}

std::string open_cache_path(const std::string& coords_base, std::uint64_t g) {
    return generation_path(cache_base_path(coords_base), "cache", g);
}

std::string open_cache_temp_path(const std::string& coords_base) {
    const std::string base = cache_base_path(coords_base);
    return base.substr(0, base.size() - 4) + "tmp";  // {prefix}cache.tmp
}

Status write_open_cache(const std::string& path, const std::string& temp_path, const CacheStamp& stamp,
                        const std::vector<CachePieces>& sections) {
    if (sections.size() != kOpenCacheSections) return fail(Error::internal("open cache: wrong section count"));
    std::uint8_t header[kOpenCacheHeaderSize] = {};
    std::memcpy(header, kOpenCacheMagic, 8);
    store_u64(header + 8, stamp.generation);
    store_u64(header + 16, stamp.next_slot);
    store_u64(header + 24, stamp.live_count);
    store_u64(header + 32, stamp.coords_bytes);
    store_u64(header + 40, stamp.metadata_bytes);
    store_u32(header + 48, stamp.coords_crc);
    store_u32(header + 52, stamp.metadata_crc);
    store_u32(header + 56, static_cast<std::uint32_t>(kOpenCacheSections));
    std::uint64_t offset = kOpenCacheHeaderSize;
    for (std::size_t i = 0; i < kOpenCacheSections; ++i) {
        std::uint64_t len = 0;
        std::uint32_t crc = 0;
        for (const auto& piece : sections[i]) {
            len += piece.size();
            crc = crc32_continue(crc, piece.data(), piece.size());
        }
        std::uint8_t* entry = header + kTableOffset + kTableEntry * i;
        store_u64(entry, offset);
        store_u64(entry + 8, len);
        store_u32(entry + 16, crc);
        offset = align8(offset + len);
    }
    store_u32(header + kHeaderCrcOffset, crc32(header, kHeaderCrcOffset));

    auto file = File::open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (!file) return fail(file.error());
    GatheredWrites out(*file);
    if (auto st = out.put(header, sizeof header); !st) return st;
    static const std::uint8_t zeros[8] = {};
    for (const auto& pieces : sections) {
        std::uint64_t len = 0;
        for (const auto& piece : pieces) {
            if (piece.empty()) continue;
            if (auto st = out.put(piece.data(), piece.size()); !st) return st;
            len += piece.size();
        }
        if (align8(len) != len)
            if (auto st = out.put(zeros, align8(len) - len); !st) return st;
    }
    if (auto st = out.flush(); !st) return st;
    file->close();
    return rename_file(temp_path, path);
}

Result<std::shared_ptr<const OpenCache>> OpenCache::read(const std::string& path, const CommitManifest& m) {
    auto file = File::open(path, O_RDONLY);
    if (!file) return fail(file.error());
    auto len = file->length();
    if (!len) return fail(len.error());
    if (*len < kOpenCacheHeaderSize) return fail(damaged(cat("shorter than its header (", *len, " bytes)")));
    if (*len > std::numeric_limits<std::size_t>::max() / 2) return fail(Error::os_message(kMapLengthOverflow));
    auto map = SharedBytes::map_read_only(*file, static_cast<std::size_t>(*len));
    if (!map) return fail(map.error());
    std::shared_ptr<OpenCache> c(new OpenCache());
    c->map_ = std::move(*map);
    const auto* h = static_cast<const std::uint8_t*>(c->map_.data());
    const std::uint64_t size = *len;

    if (std::memcmp(h, kOpenCacheMagic, 8) != 0) return fail(damaged("wrong magic"));
    if (load_u32(h + kHeaderCrcOffset) != crc32(h, kHeaderCrcOffset)) return fail(damaged("header CRC mismatch"));
    if (load_u32(h + 56) != kOpenCacheSections) return fail(damaged("wrong section count"));
    CacheStamp& s = c->stamp_;
    s.generation = load_u64(h + 8);
    s.next_slot = load_u64(h + 16);
    s.live_count = load_u64(h + 24);
    s.coords_bytes = load_u64(h + 32);
    s.metadata_bytes = load_u64(h + 40);
    s.coords_crc = load_u32(h + 48);
    s.metadata_crc = load_u32(h + 52);
    // Written for another state than the one the manifest commits: stale.
    const CacheStamp want = stamp_of(m, s.live_count);
    if (s != want)
        return fail(
            damaged(cat("stale: it describes generation ", s.generation, " with ", s.next_slot,
                        " slots and metadata CRC ", hex8(s.metadata_crc), ", the manifest generation ", want.generation,
                        " with ", want.next_slot, " slots and metadata CRC ", hex8(want.metadata_crc))));
    // Every byte is checked: the sections follow the header one after the
    // other, and the bytes no CRC covers (reserved fields, padding) are zero.
    auto zeros = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t b = from; b < to; ++b)
            if (h[b] != 0) return false;
        return true;
    };
    if (!zeros(60, 64) || !zeros(kHeaderCrcOffset + 4, kOpenCacheHeaderSize))
        return fail(damaged("reserved header bytes are not zero"));
    std::uint64_t expect = kOpenCacheHeaderSize;
    std::atomic<bool> ends_disordered = false;
    for (std::size_t i = 0; i < kOpenCacheSections; ++i) {
        const std::uint8_t* entry = h + kTableOffset + kTableEntry * i;
        const std::uint64_t off = load_u64(entry), n = load_u64(entry + 8);
        if (off != expect || n > size - off || load_u32(entry + 20) != 0 || align8(off + n) > size ||
            !zeros(off + n, align8(off + n)))
            return fail(damaged(cat("section ", i, " (", kSectionNames[i], ") lies outside the file")));
        expect = align8(off + n);
        // The entry ends are checked below for order; the check is made here,
        // on each block as it is hashed.
        std::function<void(std::size_t, std::size_t)> also;
        if (i == 0)
            also = [&, ends = reinterpret_cast<const std::uint64_t*>(h + off)](std::size_t begin, std::size_t end) {
                // Each end against the one before, without a loop-carried value, so that it vectorises.
                bool ordered = true;
                for (std::size_t w = std::max<std::size_t>(begin / 8, 1); w < end / 8; ++w)
                    ordered &= (ends[w] - ends[w - 1]) <= 0xFFFFFFFFull;
                if (!ordered) ends_disordered.store(true, std::memory_order_relaxed);
            };
        if (crc32_parallel(h + off, n, also) != load_u32(entry + 16))
            return fail(damaged(cat("section ", i, " (", kSectionNames[i], ") CRC mismatch (silent corruption)")));
        c->offsets_[i] = off;
        c->lengths_[i] = n;
    }
    if (expect != size) return fail(damaged(cat("bytes after the last section (file of ", size, " bytes)")));

    if (s.live_count > s.next_slot) return fail(damaged("more live slots than slots"));

    const auto ends = c->words(CacheSection::EntryEnds);
    if (c->lengths_[0] != 8 * s.next_slot) return fail(damaged("entry ends: wrong length"));
    // Entries lie back to back from the data area's start and fill the
    // committed metadata region exactly, each at most an entry's length.
    const bool ordered = ends.empty() || (ends[0] >= kDataStart && ends[0] - kDataStart <= 0xFFFFFFFFull &&
                                          !ends_disordered.load(std::memory_order_relaxed));
    const std::uint64_t last = ends.empty() ? kDataStart : ends.back();
    if (!ordered || last - kDataStart != s.metadata_bytes)
        return fail(damaged("entry ends do not fill the committed metadata region in order"));
    const auto live = c->words(CacheSection::LiveWords);
    if (c->lengths_[1] != 8 * ((s.next_slot + 63) / 64)) return fail(damaged("live bitmap: wrong length"));
    if (s.next_slot % 64 != 0 && !live.empty() && (live.back() >> (s.next_slot % 64)) != 0)
        return fail(damaged("live bitmap: bits past the last slot"));
    if (count_bits(live.data(), live.size()) != s.live_count)
        return fail(damaged(cat("live bitmap does not hold ", s.live_count, " live slots")));
    if (c->lengths_[2] != 16 || c->lengths_[3] % 24 != 0 || c->lengths_[4] % 8 != 0)
        return fail(damaged("grid sections: wrong lengths"));
    return std::shared_ptr<const OpenCache>(std::move(c));
}

}  // namespace orbisk
