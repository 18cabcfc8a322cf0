#include "engine/storage/storage.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "engine/util/format.hpp"
#include "engine/util/text.hpp"
#include "engine/storage/paths.hpp"
#include "engine/storage/wal_record.hpp"
#include "engine/storage/wal_scan.hpp"

namespace orbisk {

namespace {

constexpr std::uint64_t kMaxMapLength = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// header + per_slot * capacity, or nothing when it does not fit a mapping.
std::optional<std::uint64_t> minimum_file_length(std::uint64_t per_slot, std::uint64_t capacity) {
    if (capacity > (kMaxMapLength - kDataStart) / per_slot) return std::nullopt;
    return kDataStart + per_slot * capacity;
}

// Opens (creating when missing) a data file, extends it to `min_len`, maps it
// and stamps the header when its magic is missing.
Result<MappedFile> open_data_file(const std::string& path, std::optional<std::uint64_t> min_len, bool exclusive) {
    if (!min_len) return fail(Error::os_message(kMapLengthOverflow));
    auto file = exclusive ? File::create_exclusive(path) : File::open_rw_create(path);
    if (!file) return fail(file.error());
    auto len = file->length();
    if (!len) return fail(len.error());
    if (*len < *min_len)
        if (auto st = file->set_length(*min_len); !st) return fail(st.error());
    auto map = MappedFile::map(std::move(*file));
    if (!map) return fail(map.error());
    if (auto st = map->reserve_backing(kDataStart, false); !st) return fail(st.error());
    if (std::memcmp(map->data(), kDataMagic, 8) != 0) {
        std::memcpy(map->data(), kDataMagic, 8);
        store_u64(map->data() + kHeaderCountOffset, 0);
    }
    return map;
}

// A read-only view of a data file: never created, extended or stamped on disk.
Result<MappedFile> open_data_file_read_only(const std::string& path) {
    auto file = File::open(path, O_RDONLY);
    if (!file) return fail(file.error());
    auto map = MappedFile::map_private(std::move(*file), kDataStart);
    if (!map) return fail(map.error());
    // A file an open would stamp is stamped in the view alone.
    if (std::memcmp(map->data(), kDataMagic, 8) != 0) {
        std::memcpy(map->data(), kDataMagic, 8);
        store_u64(map->data() + kHeaderCountOffset, 0);
    }
    return map;
}

Error refuse(std::string msg) { return Error::invalid(std::move(msg)); }

constexpr std::size_t kKeepFrameBytes = 1 << 20;

// The CRC of the first `n` bytes of the coordinates area with the records of
// `undo` (slot -> record) in place of what the mapping holds.
std::uint32_t crc_with_records(const MappedFile& coords, std::uint64_t n,
                               const std::map<std::uint64_t, CoordBytes>& undo) {
    const std::uint8_t* area = coords.data() + kDataStart;
    std::uint32_t crc = 0;
    std::uint64_t pos = 0;
    for (const auto& [slot, rec] : undo) {
        if (slot >= n / kCoordRecord) break;
        const std::uint64_t at = kCoordRecord * slot;
        crc = crc32_continue(crc, area + pos, at - pos);
        crc = crc32_continue(crc, rec.data(), rec.size());
        pos = at + kCoordRecord;
    }
    return crc32_continue(crc, area + pos, n - pos);
}

// Whether a committed coordinates region that fails its CRC is explained by
// deletes cut short: the log's Delete records at or above the manifest's
// sequence number name the slots they were tombstoning and the records those
// slots held, and with those put back the region must match the manifest.
// A delete writes its tombstones into the region only after its record is
// forced, and the next open applies the record again. Anything the log cannot
// explain this way stays a refusal.
bool explained_by_interrupted_deletes(const MappedFile& coords, const CommitManifest& m, const std::string& wal) {
    auto log = File::open(wal, O_RDONLY);
    if (!log) return false;
    auto len = log->length();
    if (!len) return false;
    std::map<std::uint64_t, CoordBytes> undo;
    bool any = false;
    auto scanned = scan_wal(*log, *len, [&](const WalRecord& rec, std::uint64_t) -> Status {
        const auto* del = std::get_if<WalDelete>(&rec.op);
        if (!del || rec.seq < m.wal_seq || del->prev.empty()) return {};
        any = true;
        // The first delete of a slot saw what the manifest committed.
        for (std::size_t i = 0; i < del->ids.size(); ++i) undo.emplace(del->ids[i], del->prev[i]);
        return {};
    });
    return scanned && any && crc_with_records(coords, m.coords_bytes, undo) == m.coords_crc;
}

}  // namespace

Error read_only_error() { return Error{ErrorKind::ReadOnly, 0, "the store is open read-only: it takes no writes"}; }

std::optional<std::string> check_committed_region(const MappedFile& mapping, std::uint64_t n, std::uint32_t crc,
                                                  std::string_view name) {
    if (n > std::numeric_limits<std::uint64_t>::max() - kDataStart) return cat(name, ": region length overflow");
    const std::uint64_t len = mapping.size();
    if (kDataStart + n > len)
        return cat(name, ": committed region of ", n, " bytes exceeds file length ",
                   len < kDataStart ? 0 : len - kDataStart);
    const std::uint32_t actual = crc32_parallel(mapping.data() + kDataStart, n);
    if (actual != crc)
        return cat(name, ": CRC mismatch (committed ", hex8(crc), ", on-disk ", hex8(actual), ") over ", n,
                   " bytes (silent corruption)");
    return std::nullopt;
}

Result<std::unique_ptr<Storage>> Storage::open(const OpenOptions& opt) {
    std::unique_ptr<Storage> st(new Storage());
    st->manifest_path_ = orbisk::commit_path(opt.coords_path);
    st->wal_path_ = orbisk::wal_path(opt.coords_path);
    st->sync_interval_ms_ = opt.sync_interval_ms;

    // A temporary store is created from nothing: there is no manifest to read,
    // and every file is created exclusively below.
    std::optional<CommitManifest> manifest;
    if (!opt.is_temporary) {
        auto m = read_manifest(st->manifest_path_);
        if (!m)
            return fail(refuse(cat(kRefusePrefix, ", commit manifest is corrupt: ", m.error().message, " (",
                                   st->manifest_path_, ")")));
        manifest = *m;
        if (!manifest && compacted_generation_exists(opt.coords_path))
            return fail(refuse(cat(kRefusePrefix, " — commit manifest ", st->manifest_path_,
                                   " is missing but compacted generation files (<base>.coords.<N>.mmap) exist. Opening "
                                   "at gen 0 would serve an empty store and reclaim the live data. Restore the .commit "
                                   "sidecar or move the generation files aside.")));
    }

    const std::uint64_t g = manifest ? manifest->generation : 0;
    st->generation_ = g;
    st->coords_base_ = opt.coords_path;
    st->metadata_base_ = opt.metadata_path;
    st->coords_file_ = generation_path(opt.coords_path, "coords", g);
    st->metadata_file_ = generation_path(opt.metadata_path, "metadata", g);

    st->is_temporary_ = opt.is_temporary;
    st->read_only_ = opt.read_only;
    auto min_len = [&](std::uint64_t per_slot) {
        return opt.reload ? std::optional<std::uint64_t>(kDataStart) : minimum_file_length(per_slot, opt.capacity);
    };
    auto open_data = [&](const std::string& path, std::uint64_t per_slot) {
        return opt.read_only ? open_data_file_read_only(path)
                             : open_data_file(path, min_len(per_slot), opt.is_temporary);
    };
    auto coords = open_data(st->coords_file_, kCoordRecord);
    if (!coords) return fail(coords.error());
    if (opt.is_temporary) st->owned_files_.push_back(st->coords_file_);
    auto meta = open_data(st->metadata_file_, 300);
    if (!meta) return fail(meta.error());
    if (opt.is_temporary) st->owned_files_.push_back(st->metadata_file_);
    st->records_ = RecordStore(std::move(*coords), std::move(*meta));

    bool coords_as_committed = false;
    if (manifest) {
        std::vector<std::string> issues;
        auto coords_issue =
            check_committed_region(st->records_.coords(), manifest->coords_bytes, manifest->coords_crc, "coords.mmap");
        coords_as_committed = !coords_issue;
        if (auto& i = coords_issue) {
            // Only a region that lies within the file can have its tombstones taken back.
            const bool within = kDataStart + manifest->coords_bytes <= st->records_.coords().size();
            if (!within || !explained_by_interrupted_deletes(st->records_.coords(), *manifest, st->wal_path_))
                issues.push_back(std::move(*i));
        }
        if (auto i = check_committed_region(st->records_.metadata(), manifest->metadata_bytes, manifest->metadata_crc,
                                            "metadata.mmap"))
            issues.push_back(std::move(*i));
        if (!issues.empty()) {
            std::string joined;
            for (const auto& i : issues) joined += (joined.empty() ? "" : "; ") + i;
            return fail(refuse(cat(kRefusePrefix, " corrupted database (", issues.size(), " issue(s)): ", joined)));
        }
        // The regions just hashed are as the manifest says: the next checkpoint
        // hashes only what the log replay and later writes add to them.
        if (coords_as_committed) st->coords_crc_ = CrcCache::of(manifest->coords_crc, manifest->coords_bytes);
        st->metadata_crc_ = CrcCache::of(manifest->metadata_crc, manifest->metadata_bytes);
    }

    // The open cache stands in for the record load when it describes exactly
    // the committed state the checks above have just vouched for. (A region
    // accepted because deletes cut short explain it does not hold those bytes.)
    st->cache_file_ = open_cache_path(opt.coords_path, g);
    const bool cache_usable =
        manifest && !opt.is_temporary && manifest->next_slot >= kOpenCacheMinSlots && coords_as_committed;
    if (manifest && !opt.is_temporary && !cache_usable) st->cache_present_ = path_exists(st->cache_file_);
    if (cache_usable) {
        auto cache = OpenCache::read(st->cache_file_, *manifest);
        st->cache_present_ = cache || cache.error().kind != ErrorKind::Os || cache.error().code != ENOENT;
        if (cache) {
            const auto ends = (*cache)->words(CacheSection::EntryEnds);
            const auto words = (*cache)->words(CacheSection::LiveWords);
            SlotBitmap live(ends.size());
            std::copy(words.begin(), words.end(), live.words().begin());
            st->records_.load_derived(EntryEnds(*cache, ends.data(), ends.size()), std::move(live),
                                      (*cache)->stamp().live_count);
            st->cache_stamp_ = (*cache)->stamp();
            st->cache_basis_ = std::pair{st->cache_stamp_->next_slot, st->cache_stamp_->live_count};
            st->cache_ = std::move(*cache);
        }
    }

    std::uint64_t count;
    std::optional<std::uint64_t> committed;
    if (manifest) {
        count = manifest->next_slot;
        committed = manifest->metadata_bytes;
    } else {
        count = std::min(load_u64(st->records_.coords().data() + kHeaderCountOffset),
                         load_u64(st->records_.metadata().data() + kHeaderCountOffset));
    }
    if (!st->cache_)
        if (auto r = st->records_.load_records(count, committed); !r)
            return fail(refuse(cat(kRefusePrefix, ", inconsistent committed state: ", r.error().message)));

    st->wal_seq_ = st->committed_wal_seq_ = manifest ? manifest->wal_seq : 0;
    st->manifest_ = manifest;
    if (opt.read_only) {
        // A store whose log is missing has nothing to replay.
        auto wal = File::open(st->wal_path_, O_RDONLY);
        if (!wal && wal.error().code == ENOENT) return st;
        if (!wal) return fail(wal.error());
        auto wal_len = wal->length();
        if (!wal_len) return fail(wal_len.error());
        st->wal_.attach(std::move(*wal), 0);
        if (auto r = st->replay_wal(0, st->committed_wal_seq_, &st->replayed_delete_); !r) return fail(r.error());
        return st;
    }
    auto wal = opt.is_temporary ? File::open(st->wal_path_, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW, 0600)
                                : File::open(st->wal_path_, O_RDWR | O_APPEND | O_CREAT, 0644);
    if (!wal) return fail(wal.error());
    if (opt.is_temporary) st->owned_files_.push_back(st->wal_path_);
    auto wal_len = wal->length();
    if (!wal_len) return fail(wal_len.error());
    st->wal_.attach(std::move(*wal), 0);
    st->last_sync_ = std::chrono::steady_clock::now();

    if (auto r = st->replay_wal(0, st->committed_wal_seq_, &st->replayed_delete_); !r) return fail(r.error());
    st->changed_at_open_ = st->wal_seq_ != st->committed_wal_seq_ || st->wal_.position() < *wal_len;
    // A reload changes no file but for cutting a torn log tail, as the replay
    // does: no checkpoint, and the other generations stay for the next open.
    if (opt.reload) return st;
    if (!opt.is_temporary) {
        // A new name in the directory (a file this open or an earlier one created,
        // the lock file among them) is durable only once the directory is forced.
        // Until then a power cut could take the log away, and with it every insert
        // acknowledged before the first checkpoint. The checkpoint after a replay
        // forces the directory itself.
        const bool replayed = st->wal_seq_ != st->committed_wal_seq_;
        if (auto r = replayed ? st->checkpoint(false) : sync_parent_directory(st->wal_path_); !r)
            return fail(r.error());
    }
    if (!opt.is_temporary && manifest) remove_stale_generations(opt.coords_path, opt.metadata_path, g);
    return st;
}

Storage::~Storage() {
    if (!is_temporary_) return;
    // Only the files this store created are removed.
    for (const auto& p : owned_files_) (void)remove_file(p);
    if (manifest_written_) (void)remove_file(manifest_path_);
}

Status Storage::replay_wal(std::uint64_t from, std::uint64_t skip_below, bool* deleted) {
    File& f = wal_.file();
    auto len = f.length();
    if (!len) return fail(len.error());
    const std::uint64_t L = *len;
    if (from == 0) wal_tail_ = WalTail{};
    bool any = false;
    auto good_end = scan_wal(
        f, L,
        [&](const WalRecord& rec, std::uint64_t start) -> Status {
            any = true;
            wal_tail_ = WalTail{start, 0, rec.seq};
            if (rec.seq < skip_below) return {};
            if (auto* ins = std::get_if<WalInsert>(&rec.op)) {
                auto r = records_.append_point(ins->lat, ins->lon, ins->meta_json);
                if (!r) return fail(Error::invalid(cat("Orbisk: WAL replay failed: ", r.error().message)));
            } else {
                if (deleted) *deleted = true;
                if (records_.tombstone_slots(std::get<WalDelete>(rec.op).ids) > 0) coords_crc_.reset();
            }
            wal_seq_ = rec.seq + 1;
            return {};
        },
        from);
    if (!good_end) return fail(good_end.error());
    if (any) wal_tail_.end = *good_end;
    // A read-only handle reads up to the damage and leaves the file as it is.
    if (*good_end < L && !read_only_) {
        if (auto r = f.set_length(*good_end); !r) return r;
        if (auto r = f.sync(); !r) return r;
    }
    wal_.reposition(*good_end);
    last_sync_ = std::chrono::steady_clock::now();
    return {};
}

std::uint64_t Storage::unread_log_start(std::uint64_t len) {
    const WalTail t = wal_tail_;
    if (t.end == 0 || t.end != wal_.position() || len < t.end) return 0;
    bool found = false;
    auto end = scan_wal(
        wal_.file(), t.end,
        [&](const WalRecord& rec, std::uint64_t at) -> Status {
            found = at == t.start && rec.seq == t.seq;
            return {};
        },
        t.start);
    return end && *end == t.end && found ? t.end : 0;
}

Result<Storage::CatchUp> Storage::catch_up() {
    // A handle that could not take a write back must read the log again whole;
    // a read-only one holds private views that only a reload replaces.
    if (unusable_ || read_only_) return CatchUp::NeedsReload;
    auto read = read_manifest(manifest_path_);
    if (!read) return CatchUp::NeedsReload;  // the reload refuses it
    const std::optional<CommitManifest>& now = *read;
    const std::uint64_t known_slots = records_.next_slot();
    if (manifest_ && !now) return CatchUp::NeedsReload;
    if (now) {
        if (now->generation != generation_) return CatchUp::NeedsReload;
        if (manifest_ && (now->next_slot < manifest_->next_slot || now->wal_seq < manifest_->wal_seq))
            return CatchUp::NeedsReload;
        // Records committed since that add no slot can only be deletes.
        if (now->wal_seq > wal_seq_ && now->next_slot <= known_slots) return CatchUp::NeedsReload;
        if (now->next_slot > known_slots && now->wal_seq < wal_seq_) return CatchUp::NeedsReload;
        if (now->metadata_bytes > std::numeric_limits<std::uint64_t>::max() - kDataStart) return CatchUp::NeedsReload;
    }
    // The writers may have grown the files since this handle mapped them.
    if (auto st = records_.coords().follow_file_length(); !st) return fail(st.error());
    if (auto st = records_.metadata().follow_file_length(); !st) return fail(st.error());
    std::uint64_t skip_below = wal_seq_;
    if (now) {
        if (now->next_slot > known_slots)
            if (!records_.load_more_records(now->next_slot, now->metadata_bytes)) return CatchUp::NeedsReload;
        skip_below = std::max(skip_below, now->wal_seq);
        committed_wal_seq_ = now->wal_seq;
    }
    manifest_ = now;
    wal_seq_ = skip_below;
    auto len = wal_.file().length();
    if (!len) return fail(len.error());
    bool deleted = false;
    if (auto st = replay_wal(unread_log_start(*len), skip_below, &deleted); !st) return fail(st.error());
    return deleted ? CatchUp::NeedsReload : CatchUp::Done;
}

Status Storage::sync_wal_if_due() {
    if (auto st = wal_.flush_buffer(); !st) return st;
    bool due = sync_interval_ms_ == 0;
    if (!due) {
        const auto elapsed = std::chrono::steady_clock::now() - last_sync_;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        due = ns >= 0 &&
              static_cast<unsigned __int128>(ns) >= static_cast<unsigned __int128>(sync_interval_ms_) * 1000000u;
    }
    if (due) {
        if (auto st = wal_.sync(); !st) return st;
        last_sync_ = std::chrono::steady_clock::now();
    }
    return {};
}

Status Storage::force_wal() {
    if (auto st = wal_.flush_buffer(); !st) return st;
    if (auto st = wal_.sync(); !st) return st;
    last_sync_ = std::chrono::steady_clock::now();
    return {};
}

void Storage::frame_insert(std::uint64_t seq, const PendingPoint& p) {
    // The scratch frame is reused, but a huge record's buffer is not kept.
    if (frame_.capacity() > kKeepFrameBytes) std::string().swap(frame_);
    frame_.assign(kWalHeaderSize, '\0');
    append_insert_payload(frame_, seq, p.lat, p.lon, p.text);
    seal_wal_frame(frame_);
}

Status Storage::check_writable() const {
    if (read_only_) return fail(read_only_error());
    if (unusable_) return fail(*unusable_);
    return {};
}

Error Storage::take_back(Error cause, std::uint64_t wal_pos, std::uint64_t seq, const RecordStore::AppendMark& mark,
                         std::string_view what) {
    const Status trimmed = wal_.truncate_to(wal_pos);
    // The handle goes back to the state its callers were told of, whatever the log holds.
    wal_seq_ = seq;
    records_.truncate_appends(mark);
    // A cache that summed bytes past the new end would mis-sum what is written there next.
    if (coords_crc_.covered > kCoordRecord * mark.next_slot) coords_crc_.reset();
    if (metadata_crc_.covered > mark.metadata_end - kDataStart) metadata_crc_.reset();
    if (trimmed) return cause;
    // The records left in the log claim the sequence numbers and slots that the
    // next writes would be given, and the next open replays them: handing those
    // out again would store two points under one id. Only a new open of the
    // store, which replays the log, can go on writing.
    const std::string& trim_error = trimmed.error().message;
    unusable_ = Error{ErrorKind::Reopen, cause.code,
                      cat("the store must be opened again: a write failed (", cause.message,
                          ") and could not be taken back out of the log (", trim_error, ")")};
    return Error{
        cause.kind, cause.code,
        cat(cause.message, "; the log could not be cut back (", trim_error, "), so ", what, " may still be stored")};
}

Result<std::uint64_t> Storage::insert_point(const PendingPoint& point) {
    if (auto st = check_writable(); !st) return fail(st.error());
    if (point.text.size() > kMaxEntryLength) return fail(Error::invalid(entry_too_long_message(point.text.size())));
    const std::uint64_t pos = wal_.position();
    const std::uint64_t seq = wal_seq_;
    const auto mark = records_.append_mark();
    frame_insert(seq, point);
    Status st = wal_.append(frame_);
    if (st) st = sync_wal_if_due();
    if (!st) return fail(take_back(st.error(), pos, seq, mark, "the point"));
    wal_seq_ = seq + 1;
    auto slot = records_.append_point(point.lat, point.lon, point.text);
    if (!slot) return fail(take_back(slot.error(), pos, seq, mark, "the point"));
    wal_tail_ = WalTail{pos, wal_.position(), seq};
    return *slot;
}

std::optional<WriteFailure> Storage::write_points(std::span<const PendingPoint> points) {
    std::vector<double> coords;
    std::vector<std::size_t> ends;
    std::string text;
    coords.reserve(2 * points.size());
    ends.reserve(points.size());
    for (const PendingPoint& p : points) {
        coords.push_back(p.lat);
        coords.push_back(p.lon);
        text += p.text;
        ends.push_back(text.size());
    }
    return write_points(PointRun{coords, text, ends});
}

std::optional<WriteFailure> Storage::write_points(std::span<const PointRun> runs) {
    std::size_t count = 0;
    for (const PointRun& run : runs) count += run.size();
    if (count == 0) return std::nullopt;
    if (auto st = check_writable(); !st) return WriteFailure{st.error(), false};
    const std::uint64_t pos = wal_.position();
    const std::uint64_t seq = wal_seq_;
    const auto mark = records_.append_mark();
    auto undo = [&](Error e) {
        return WriteFailure{take_back(std::move(e), pos, seq, mark, "the points of this call"), false};
    };
    // (A text too long for an entry is refused by the record store before it
    // writes anything.)
    // The group is not logged: its commit makes it durable, all of it, or a
    // crash before the commit point leaves none of it (the log replays only
    // what was written before). Its sequence numbers are taken all the same,
    // as if it had been logged, so that it can still be logged should the
    // commit leave a new manifest that is not durable.
    wal_seq_ += count;
    AppendedCrcs crcs;
    if (auto r = records_.append_points(runs, &crcs); !r) return undo(r.error());
    // A cache that reaches where the group starts goes on over it: the
    // commit need not read the group back to hash it.
    auto extend = [](CrcCache& cache, std::uint64_t start, std::uint32_t crc, std::uint64_t len) {
        if (cache.covered == start) cache = CrcCache::of(crc32_combine(~cache.reg, crc, len), start + len);
    };
    extend(coords_crc_, kCoordRecord * mark.next_slot, crcs.coords, kCoordRecord * count);
    extend(metadata_crc_, mark.metadata_end - kDataStart, crcs.metadata, records_.metadata_end() - mark.metadata_end);
    bool committed = false, durable = false;
    if (auto st = commit_after_write(&committed, &durable); !st) {
        if (!committed) return undo(st.error());
        // A durable commit keeps the group whatever failed after it.
        if (durable) return WriteFailure{st.error(), true};
        // The new manifest is in place but a power cut may bring the old one
        // back: the log must then hold the group, after what it holds already.
        const std::uint64_t log_start = wal_.position();
        if (auto logged = log_points(runs, seq); !logged) {
            // Whether the group survives is out of this handle's hands now: it
            // forgets the group (whose bytes the manifest in place vouches
            // for, so they stay in the files), and only a new open, which
            // reads whichever manifest is there, can go on writing.
            (void)wal_.truncate_to(log_start);
            wal_seq_ = seq;
            records_.truncate_appends(mark, /*give_back_space=*/false);
            coords_crc_.reset();
            metadata_crc_.reset();
            unusable_ = Error{ErrorKind::Reopen, logged.error().code,
                              cat("the store must be opened again: a commit could not be made durable (",
                                  st.error().message, ") nor its points logged (", logged.error().message, ")")};
            return WriteFailure{Error{st.error().kind, st.error().code,
                                      cat(st.error().message, "; the points could not be logged either (",
                                          logged.error().message, "), so the points of this call may still be stored")},
                                false};
        }
        return WriteFailure{st.error(), true};
    }
    return std::nullopt;
}

Status Storage::log_points(std::span<const PointRun> runs, std::uint64_t first_seq) {
    WalTail tail;
    std::uint64_t seq = first_seq;
    for (const PointRun& run : runs)
        for (std::size_t i = 0; i < run.size(); ++i) {
            tail.start = wal_.position();
            tail.seq = seq;
            frame_insert(seq++, run.point(i));
            if (auto st = wal_.append(frame_); !st) return st;
        }
    if (auto st = force_wal(); !st) return st;
    tail.end = wal_.position();
    wal_tail_ = tail;
    return {};
}

Result<std::uint64_t> Storage::delete_slots(std::span<const std::uint64_t> ids, std::size_t ids_per_record) {
    if (auto st = check_writable(); !st) return fail(st.error());
    const std::uint64_t pos = wal_.position();
    const std::uint64_t seq = wal_seq_;
    std::uint64_t next = seq;
    std::vector<CoordBytes> prev;
    Status st;
    const std::size_t per_record = std::max<std::size_t>(ids_per_record, 1);
    std::size_t done = 0;
    WalTail tail;
    do {
        const auto part = ids.subspan(done, std::min(per_record, ids.size() - done));
        tail.start = wal_.position();
        tail.seq = next;
        prev.resize(part.size());
        for (std::size_t i = 0; i < part.size(); ++i) prev[i] = records_.coord_bytes(part[i]);
        frame_.assign(kWalHeaderSize, '\0');
        append_delete_payload(frame_, next++, part, prev);
        seal_wal_frame(frame_);
        st = wal_.append(frame_);
        done += part.size();
    } while (st && done < ids.size());
    // The tombstones go into bytes the manifest vouches for, and the operating
    // system may write them back at any moment: the record that explains them
    // must be on stable storage first, whatever the sync interval.
    if (st) st = is_temporary_ ? sync_wal_if_due() : force_wal();
    if (!st) return fail(take_back(st.error(), pos, seq, records_.append_mark(), "the deletion"));
    wal_seq_ = next;
    tail.end = wal_.position();
    wal_tail_ = tail;
    const std::uint64_t n = records_.tombstone_slots(ids);
    if (n > 0) coords_crc_.reset();
    (void)commit_after_write();
    return n;
}

Status Storage::checkpoint(bool full, bool* committed, bool* durable) {
    if (auto st = check_writable(); !st) return st;
    if (auto st = wal_.flush_buffer(); !st) return st;
    if (auto st = wal_.sync(); !st) return st;
    const std::uint64_t next = records_.next_slot();
    // A store loaded from a damaged file set may have a short coordinates file;
    // the manifest must never vouch for bytes the file does not hold.
    const std::uint64_t coords_needed = kDataStart + kCoordRecord * next;
    if (MappedFile& c = records_.coords(); c.size() < coords_needed) {
        const std::uint64_t first_missing = c.size() < kDataStart ? 0 : (c.size() - kDataStart) / kCoordRecord;
        if (auto st = c.grow(coords_needed); !st) return st;
        if (auto st = c.reserve_backing(coords_needed); !st) return st;
        // Those slots were loaded as not live; their new records say so too.
        for (std::uint64_t s = first_missing; s < next; ++s) {
            store_u64(c.data() + kDataStart + kCoordRecord * s, kTombstoneBits);
            store_u64(c.data() + kDataStart + kCoordRecord * s + 8, kTombstoneBits);
        }
    }
    if (auto st = records_.coords().flush(); !st) return st;
    if (auto st = records_.metadata().flush(); !st) return st;

    CommitManifest m;
    m.next_slot = next;
    m.wal_seq = wal_seq_;
    m.generation = generation_;
    m.coords_bytes = kCoordRecord * next;
    m.coords_crc = crc_extend(coords_crc_, records_.coords().data(), records_.coords().size(), m.coords_bytes);
    const std::uint64_t meta_end = records_.metadata_end();
    m.metadata_bytes = meta_end < kDataStart ? 0 : meta_end - kDataStart;
    m.metadata_crc =
        crc_extend(metadata_crc_, records_.metadata().data(), records_.metadata().size(), m.metadata_bytes);
    if (auto st = drop_stale_cache(m); !st) return st;
    bool renamed = false;
    const Status written = write_manifest(m, manifest_path_, is_temporary_, &renamed);
    if (renamed) {
        manifest_written_ = true;
        manifest_ = m;
        if (committed) *committed = true;
    }
    // Not durable: the old manifest may come back, and the log must still hold
    // everything written since it.
    if (!written) return written;
    if (durable) *durable = true;

    // The header counts follow the manifest, never precede it: a store without a
    // manifest must not claim records that the log will replay again.
    for (MappedFile* f : {&records_.coords(), &records_.metadata()}) {
        store_u64(f->data() + kHeaderCountOffset, next);
        if (auto st = f->flush_prefix(kDataStart); !st) return st;
    }
    committed_wal_seq_ = m.wal_seq;
    if (!full) return {};
    wal_tail_ = WalTail{};
    if (auto st = wal_.reset(true); !st) return st;
    last_sync_ = std::chrono::steady_clock::now();
    return {};
}

Status Storage::commit_after_write(bool* committed, bool* durable) {
    if (!is_temporary_) return checkpoint(true, committed, durable);
    if (auto st = wal_.flush_buffer(); !st) return st;
    wal_tail_ = WalTail{};
    if (auto st = wal_.reset(false); !st) return st;
    last_sync_ = std::chrono::steady_clock::now();
    committed_wal_seq_ = wal_seq_;
    if (committed) *committed = true;
    return {};
}

Status Storage::drop_stale_cache(const CommitManifest& next) {
    // A cache is written only for a state of at least kOpenCacheMinSlots slots,
    // and a generation's slot count never goes down: below that, there is none
    // but one this open found (written by a build with another threshold).
    if (is_temporary_ || !manifest_ || (manifest_->next_slot < kOpenCacheMinSlots && !cache_present_)) return {};
    // The same committed bytes (a checkpoint that adds nothing): a cache of them stays true.
    if (stamp_of(*manifest_, 0) == stamp_of(next, 0)) return {};
    cache_stamp_.reset();
    if (auto st = remove_file(cache_file_); !st && st.error().code != ENOENT) return st;
    cache_present_ = false;
    return {};
}

bool Storage::open_cache_due() const {
    return !is_temporary_ && !read_only_ && !unusable_ && manifest_ && manifest_->generation == generation_ &&
           manifest_->next_slot >= kOpenCacheMinSlots && manifest_->next_slot == records_.next_slot() &&
           committed_wal_seq_ == wal_seq_ && manifest_->metadata_bytes + kDataStart == records_.metadata_end() &&
           !(cache_stamp_ && *cache_stamp_ == stamp_of(*manifest_, records_.live_count()));
}

bool Storage::open_cache_worth_a_build() const {
    if (!cache_basis_ || records_.live_count() < kOpenCacheBuildFreelyBelow) return true;
    const auto [slots, live] = *cache_basis_;
    const std::uint64_t added = records_.next_slot() - std::min(slots, records_.next_slot());
    const std::uint64_t dead = records_.next_slot() - records_.live_count(), dead_then = slots - live;
    const std::uint64_t deleted = dead - std::min(dead, dead_then);
    return added + deleted >= std::max<std::uint64_t>(slots / 8, 1);
}

Status Storage::write_open_cache(const CachePieces& grid_header, const CachePieces& grid_cells,
                                 const CachePieces& grid_entries) const {
    if (!open_cache_due()) return {};
    const EntryEnds& ends = records_.entry_ends();
    auto bytes = [](std::span<const std::uint64_t> w) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(w.data()), w.size() * 8);
    };
    const CacheStamp stamp = stamp_of(*manifest_, records_.live_count());
    std::vector<CachePieces> sections{{bytes(ends.view()), bytes(ends.owned())},
                                      {bytes(records_.live_bitmap().words())},
                                      grid_header,
                                      grid_cells,
                                      grid_entries};
    if (auto st = orbisk::write_open_cache(cache_file_, open_cache_temp_path(coords_base_), stamp, sections); !st)
        return st;
    cache_stamp_ = stamp;
    cache_basis_ = std::pair{stamp.next_slot, stamp.live_count};
    cache_present_ = true;
    return {};
}

std::vector<std::string> Storage::verify_committed() const {
    std::vector<std::string> errors;
    auto m = read_manifest(manifest_path_);
    if (!m) {
        errors.push_back(cat("commit manifest: ", m.error().message));
        return errors;
    }
    if (!*m) return errors;
    const CommitManifest& manifest = **m;
    auto check = [&](const MappedFile& mapped, const std::string& base, std::string_view kind, std::uint64_t n,
                     std::uint32_t crc, std::string_view name) {
        std::optional<std::string> issue;
        if (manifest.generation == generation_) {
            issue = check_committed_region(mapped, n, crc, name);
        } else {
            // A compaction that could not make its manifest durable leaves this
            // handle on the generation before it: the manifest's own files are
            // checked, as an open would check them.
            auto file = File::open(generation_path(base, kind, manifest.generation), O_RDONLY);
            auto other = file ? MappedFile::map_private(std::move(*file), 0) : fail(file.error());
            issue = other ? check_committed_region(*other, n, crc, name) : cat(name, ": ", other.error().message);
        }
        if (issue) errors.push_back(std::move(*issue));
    };
    check(records_.coords(), coords_base_, "coords", manifest.coords_bytes, manifest.coords_crc, "coords.mmap");
    check(records_.metadata(), metadata_base_, "metadata", manifest.metadata_bytes, manifest.metadata_crc,
          "metadata.mmap");
    // The open cache, if there is one, must describe this manifest's state. A
    // writer of another handle may have committed a new state between the two
    // reads: the manifest is read once more before a stale cache is reported.
    const std::string cache = open_cache_path(coords_base_, manifest.generation);
    auto found = OpenCache::read(cache, manifest);
    if (!found && found.error().kind == ErrorKind::InvalidData) {
        if (auto again = read_manifest(manifest_path_); again && *again && !(**again == manifest))
            found = OpenCache::read(cache, **again);
    }
    if (!found && !(found.error().kind == ErrorKind::Os && found.error().code == ENOENT))
        errors.push_back(cat("open cache ", cache.substr(cache.find_last_of('/') + 1), ": ", found.error().message));
    return errors;
}

}  // namespace orbisk
