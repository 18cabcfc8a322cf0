#include "engine/storage/compaction.hpp"

#include <cstring>

#include "engine/storage/paths.hpp"
#include "engine/storage/storage.hpp"
#include "engine/util/crc.hpp"
#include "engine/util/format.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

// A new data file of exactly `len` bytes (storage allocated, so that writing
// through the mapping cannot fault on a full disk), mapped, with its header.
Result<MappedFile> create_generation_file(const std::string& path, std::uint64_t len, std::uint64_t count,
                                          bool exclusive) {
    auto file = exclusive ? File::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600)
                          : File::open(path, O_RDWR | O_CREAT | O_TRUNC);
    if (!file) return fail(file.error());
    if (auto st = file->set_length(len); !st) return fail(st.error());
    auto map = MappedFile::map(std::move(*file));
    if (!map) return fail(map.error());
    if (auto st = map->reserve_backing(len, false); !st) return fail(st.error());
    std::memcpy(map->data(), kDataMagic, 8);
    store_u64(map->data() + kHeaderCountOffset, count);
    return map;
}

Result<NewGeneration> write_files(const RecordStore& records, const std::string& coords_path,
                                  const std::string& metadata_path, bool exclusive, int& created) {
    std::vector<std::uint64_t> slots;
    slots.reserve(records.live_count());
    std::uint64_t meta_bytes = 0;
    bool outside = false;
    records.live_bitmap().for_each_set([&](std::uint64_t s) {
        // Appends and loads keep every live slot inside both files.
        const MetaSpan& sp = records.span(s);
        if (records.coords().size() < kDataStart + kCoordRecord * (s + 1) || sp.offset > records.metadata().size() ||
            records.metadata().size() - sp.offset < sp.length)
            outside = true;
        slots.push_back(s);
        meta_bytes += sp.length;
    });
    if (outside) return fail(Error::internal("compaction found a live slot outside the data files"));

    const std::uint64_t n = slots.size();
    NewGeneration gen;
    gen.coords_bytes = kCoordRecord * n;
    gen.metadata_bytes = meta_bytes;
    auto coords = create_generation_file(coords_path, kDataStart + gen.coords_bytes, n, exclusive);
    if (!coords) return fail(coords.error());
    ++created;
    auto meta = create_generation_file(metadata_path, kDataStart + meta_bytes, n, exclusive);
    if (!meta) return fail(meta.error());
    ++created;

    // Runs of consecutive live slots are copied in one piece; so are metadata
    // entries that lie back to back.
    const std::uint8_t* old_coords = records.coords().data() + kDataStart;
    const std::uint8_t* old_meta = records.metadata().data();
    std::uint8_t* new_coords = coords->data() + kDataStart;
    std::uint8_t* new_meta = meta->data();
    gen.spans.reserve(n);
    std::uint64_t out = kDataStart;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && slots[j] == slots[j - 1] + 1) ++j;
        std::memcpy(new_coords + kCoordRecord * i, old_coords + kCoordRecord * slots[i], kCoordRecord * (j - i));
        for (std::size_t k = i; k < j;) {
            const std::uint64_t from = records.span(slots[k]).offset;
            std::uint64_t end = from;
            std::size_t l = k;
            for (; l < j && records.span(slots[l]).offset == end; ++l) {
                gen.spans.push_back(MetaSpan{out + (end - from), records.span(slots[l]).length});
                end += records.span(slots[l]).length;
            }
            std::memcpy(new_meta + out, old_meta + from, end - from);
            out += end - from;
            k = l;
        }
        i = j;
    }
    gen.coords_crc = crc32(new_coords, gen.coords_bytes);
    gen.metadata_crc = crc32(new_meta + kDataStart, meta_bytes);
    if (auto st = coords->flush(); !st) return fail(st.error());
    if (auto st = meta->flush(); !st) return fail(st.error());
    gen.coords = std::move(*coords);
    gen.metadata = std::move(*meta);
    return gen;
}

}  // namespace

Result<NewGeneration> write_generation(const RecordStore& records, const std::string& coords_path,
                                       const std::string& metadata_path, bool exclusive) {
    int created = 0;
    auto gen = write_files(records, coords_path, metadata_path, exclusive, created);
    // Only a temporary store's own files are taken away again; a store on a
    // path leaves them to the next removal of stale generations.
    if (!gen && exclusive) {
        if (created > 0) (void)remove_file(coords_path);
        if (created > 1) (void)remove_file(metadata_path);
    }
    return gen;
}

Result<std::uint64_t> Storage::compact() {
    if (auto st = check_writable(); !st) return fail(st.error());
    if (auto st = checkpoint(true); !st) return fail(st.error());
    const std::uint64_t reclaimed = records_.next_slot() - records_.live_count();
    if (reclaimed == 0) return 0;

    const std::uint64_t g = generation_ + 1;
    const std::string coords_path = generation_path(coords_base_, "coords", g);
    const std::string metadata_path = generation_path(metadata_base_, "metadata", g);
    auto gen = write_generation(records_, coords_path, metadata_path, is_temporary_);
    if (!gen) return fail(gen.error());
    if (is_temporary_) {
        owned_files_.push_back(coords_path);
        owned_files_.push_back(metadata_path);
    }

    CommitManifest m;
    m.next_slot = records_.live_count();
    m.wal_seq = wal_seq_;
    m.generation = g;
    m.coords_bytes = gen->coords_bytes;
    m.coords_crc = gen->coords_crc;
    m.metadata_bytes = gen->metadata_bytes;
    m.metadata_crc = gen->metadata_crc;
    // No cache describes the new generation yet (none can be there but by hand).
    cache_file_ = open_cache_path(coords_base_, g);
    cache_stamp_.reset();
    cache_present_ = false;
    if (!is_temporary_) (void)remove_file(cache_file_);
    bool renamed = false;
    if (const Status written = write_manifest(m, manifest_path_, is_temporary_, &renamed); !written) {
        const Error& e = written.error();
        if (!renamed) {
            if (is_temporary_) {
                (void)remove_file(coords_path);
                (void)remove_file(metadata_path);
            }
            return fail(e);
        }
        // The manifest naming the new generation is what an open finds now, but
        // a power cut may bring back the old one. Both generations stay on disk,
        // this handle goes on reading the old one, and it writes nothing more:
        // its next log records would be numbered for one generation only.
        manifest_written_ = true;
        manifest_ = m;
        unusable_ = Error{ErrorKind::Reopen, e.code,
                          cat("the store must be opened again: compaction could not make its new manifest durable (",
                              e.message, ")")};
        return fail(Error{e.kind, e.code,
                          cat(e.message,
                              "; compaction could not make its new manifest durable, so the store must be "
                              "opened again")});
    }
    manifest_written_ = true;
    manifest_ = m;

    const std::string old_coords = std::move(coords_file_), old_metadata = std::move(metadata_file_);
    records_ = RecordStore::all_live(std::move(gen->coords), std::move(gen->metadata), std::move(gen->spans),
                                     kDataStart + gen->metadata_bytes);
    generation_ = g;
    coords_file_ = coords_path;
    metadata_file_ = metadata_path;
    committed_wal_seq_ = wal_seq_;
    coords_crc_ = CrcCache::of(gen->coords_crc, gen->coords_bytes);
    metadata_crc_ = CrcCache::of(gen->metadata_crc, gen->metadata_bytes);
    if (is_temporary_) {
        // A temporary store lives among other programs' files: it removes only its own.
        (void)remove_file(old_coords);
        (void)remove_file(old_metadata);
    } else {
        remove_stale_generations(coords_base_, metadata_base_, g);
    }
    return reclaimed;
}

}  // namespace orbisk
