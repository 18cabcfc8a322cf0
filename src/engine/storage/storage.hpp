// The storage engine of one store: data files and slot bookkeeping, the
// write-ahead log, checkpoints into the commit manifest, and open with recovery.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/util/crc.hpp"
#include "engine/util/error.hpp"
#include "engine/storage/manifest.hpp"
#include "engine/storage/open_cache.hpp"
#include "engine/storage/record_store.hpp"
#include "engine/storage/wal_writer.hpp"

namespace orbisk {

struct OpenOptions {
    std::string coords_path;    // generation-0 coordinates file
    std::string metadata_path;  // generation-0 metadata file
    std::uint64_t capacity = 10000;
    std::uint64_t sync_interval_ms = 0;
    // A store of its own in the temporary directory: its files are created here
    // and now (never reused) and removed when the Storage is dropped.
    bool is_temporary = false;
    // A handle's reload of a store it already has open, under the write lock:
    // the open's checks, record load and log replay, but no checkpoint after
    // the replay, no removal of stale generations, and data files taken at
    // their length (`capacity` is not used).
    bool reload = false;
    // A handle that never writes: no file is created, extended or written;
    // the data files are private views (engine/util/fs.hpp) into which the
    // log is replayed in memory; a torn log tail is left in the file; a
    // missing log reads as empty. Every write fails with read_only_error().
    bool read_only = false;
};

// What a write through a read-only handle fails with.
Error read_only_error();

// What became of a group of logged writes that failed.
struct WriteFailure {
    Error error;
    bool kept;  // the writes reached their commit point and stay stored
};

inline constexpr const char* kRefusePrefix = "Orbisk CRITICAL: refusing to open";

// Slots one Delete record names at most: with its previous coordinates, about
// 60 bytes of payload a slot.
inline constexpr std::size_t kDeleteRecordIds = std::size_t{1} << 22;

// Not safe for concurrent use by itself: its owner (Database) guards all of it
// with the storage lock, held shared for the const members and exclusively
// for the others.
class Storage {
public:
    // What catch_up found.
    enum class CatchUp { Done, NeedsReload };

    // Opens (or creates) a store: manifest, committed-region checks, record
    // load, log replay and the checkpoint after a replay.
    static Result<std::unique_ptr<Storage>> open(const OpenOptions& options);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    const RecordStore& records() const { return records_; }
    std::uint64_t next_slot() const { return records_.next_slot(); }
    std::uint64_t live_count() const { return records_.live_count(); }
    std::uint64_t wal_seq() const { return wal_seq_; }
    std::uint64_t committed_wal_seq() const { return committed_wal_seq_; }
    std::uint64_t generation() const { return generation_; }
    bool is_temporary() const { return is_temporary_; }
    bool is_read_only() const { return read_only_; }
    const std::string& manifest_path() const { return manifest_path_; }
    const std::string& wal_path() const { return wal_path_; }

    // One logged insert: the log record is appended and forced when due, then
    // the point is stored. On failure the record is taken back out of the log
    // and nothing is stored (see take_back for a log that cannot be cut back).
    Result<std::uint64_t> insert_point(const PendingPoint& point);
    // Stores a group of points and commits them as one: a crash before the
    // commit point leaves none of them, after it all. The points are not
    // logged (the commit makes them durable), unless the commit leaves a new
    // manifest that is not durable; then they are logged and forced. When the
    // commit point is not reached, everything is taken back (`kept` false).
    std::optional<WriteFailure> write_points(std::span<const PointRun> runs);
    std::optional<WriteFailure> write_points(const PointRun& points) { return write_points(std::span(&points, 1)); }
    std::optional<WriteFailure> write_points(std::span<const PendingPoint> points);
    // One logged delete of these slots, then the commit (whose failure is not
    // reported). Returns the number of slots tombstoned. The log record names at
    // most `ids_per_record` slots, so that its payload stays far below 2^32
    // bytes; a larger delete is logged as several records, forced together.
    Result<std::uint64_t> delete_slots(std::span<const std::uint64_t> ids,
                                       std::size_t ids_per_record = kDeleteRecordIds);

    // Writes the live points into the next data generation and switches to it:
    // a full checkpoint first, the new files, the manifest (the commit point),
    // then the stale generations removed. Returns the number of slots
    // reclaimed; 0, with nothing written past the checkpoint, when there is no
    // tombstone. On failure the store stays on its generation; should the new
    // manifest be in place without being durable, the handle refuses writes.
    Result<std::uint64_t> compact();

    // Makes the data files durable and writes a new manifest; `full` also empties
    // the log. Sets *committed when the new manifest is in place, even when it is
    // not durable yet. Succeeds only when it is: otherwise the header counts and
    // the log stay as they were, so that whichever manifest survives a power cut
    // finds what it lacks in the log.
    // Sets *durable when it is durable as well.
    Status checkpoint(bool full, bool* committed = nullptr, bool* durable = nullptr);
    // The step after a write: a full checkpoint, or for a temporary store only
    // the log reset.
    Status commit_after_write(bool* committed = nullptr, bool* durable = nullptr);

    // Catches up with what other handles of the store appended since this one
    // last looked, when they did nothing else: the slots a newer manifest
    // commits are loaded from the data files, then the log's new records are
    // applied (a torn tail is cut off, as at open). Reads only what was added:
    // the log from where this handle left it, when its last record is still
    // there. NeedsReload when anything else happened (another generation, a
    // manifest that goes back, a delete, data that does not load); the
    // Storage may then be caught up in part and must be replaced by a reload,
    // as after an error.
    Result<CatchUp> catch_up();
    // Whether open changed the store's files: replayed log records or cut the log.
    bool changed_at_open() const { return changed_at_open_; }

    // The open cache this view was opened from (open_cache.hpp), when the open
    // found a valid one: the slots below its next_slot came from it, those
    // after it from the log. Nothing when the open derived the state itself.
    const std::shared_ptr<const OpenCache>& open_cache() const { return cache_; }
    // Whether the open replayed a Delete record (the cache's grid then lacks removals).
    bool replayed_delete() const { return replayed_delete_; }
    // Whether a cache would pay its way and is missing: a store on a path, not
    // read-only, of at least kOpenCacheMinSlots committed slots, whose view is
    // the committed state, without a valid cache of that state on disk.
    bool open_cache_due() const;
    // Whether a cache is worth a grid build of its own: the store is small
    // (kOpenCacheBuildFreelyBelow), or has changed by at least an eighth
    // (slots added and slots deleted) since the last cache this handle read
    // or wrote, or this handle has known none.
    bool open_cache_worth_a_build() const;
    // Writes the cache of the committed state (open_cache_due must hold):
    // entry ends and live words from this view, the grid's three sections
    // from the caller.
    // Needs only the storage lock shared, and the write lock (which keeps
    // every other writer of the cache out).
    Status write_open_cache(const CachePieces& grid_header, const CachePieces& grid_cells,
                            const CachePieces& grid_entries) const;

    // Issues of the committed regions against a manifest read from disk now;
    // an unreadable manifest gives one issue, and so does an open cache that is
    // damaged or stale (the data is not at fault then; the next open ignores it).
    std::vector<std::string> verify_committed() const;

    Status sync_wal_if_due();

    // Fails when an earlier write could not be taken back: the handle then
    // refuses every write, while reads go on.
    Status check_writable() const;

private:
    // The last record known to be in the log: where it lies and its sequence
    // number (end 0: none). Sequence numbers are never written twice, so
    // finding that record there again proves that the log up to `end` is the
    // one this handle has read.
    struct WalTail {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t seq = 0;
    };

    Storage() = default;
    // Before a manifest for `next` replaces the current one: removes the cache
    // file of this generation unless it describes `next` (a failure other than
    // a missing file fails the checkpoint before its commit point).
    Status drop_stale_cache(const CommitManifest& next);
    // Applies the log's records from offset `from` (a record boundary), those
    // numbered below `skip_below` skipped, and cuts a torn tail off. Sets
    // *deleted when a Delete record was applied.
    Status replay_wal(std::uint64_t from, std::uint64_t skip_below, bool* deleted = nullptr);
    // Where the records this handle has not read begin in a log of `len` bytes.
    std::uint64_t unread_log_start(std::uint64_t len);
    // Hands the buffered log to the operating system and forces it, whatever the interval.
    Status force_wal();
    // Takes back writes that failed with `cause`: cuts the log back to `wal_pos`
    // and forgets the appends since `mark`. Returns the error to report, which
    // says that `what` may still be stored when the log could not be cut back.
    Error take_back(Error cause, std::uint64_t wal_pos, std::uint64_t seq, const RecordStore::AppendMark& mark,
                    std::string_view what);
    void frame_insert(std::uint64_t seq, const PendingPoint& p);
    // Appends Insert records for points numbered from `first_seq` and forces the log.
    Status log_points(std::span<const PointRun> runs, std::uint64_t first_seq);

    RecordStore records_;
    WalWriter wal_;
    std::string frame_;  // scratch: one framed log record

    std::string manifest_path_;
    std::string wal_path_;
    std::string coords_base_;  // generation-0 names, from which every generation's are derived
    std::string metadata_base_;
    std::string coords_file_;  // current generation's files
    std::string metadata_file_;

    std::uint64_t wal_seq_ = 0;
    std::uint64_t committed_wal_seq_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t sync_interval_ms_ = 0;
    std::chrono::steady_clock::time_point last_sync_{};
    CrcCache coords_crc_;
    CrcCache metadata_crc_;
    bool is_temporary_ = false;
    bool read_only_ = false;
    bool manifest_written_ = false;
    bool changed_at_open_ = false;
    // The manifest this handle's view was built on or has written last.
    std::optional<CommitManifest> manifest_;
    WalTail wal_tail_;
    // The cache file of the current generation: where, and the state a valid
    // one on disk describes (nothing when none is known to be there).
    std::string cache_file_;
    // Changed by write_open_cache under the write lock as well.
    mutable std::optional<CacheStamp> cache_stamp_;
    // The slots and live slots of the last cache this handle read or wrote.
    mutable std::optional<std::pair<std::uint64_t, std::uint64_t>> cache_basis_;
    // Whether a cache file of this generation may be on disk.
    mutable bool cache_present_ = false;
    std::shared_ptr<const OpenCache> cache_;
    bool replayed_delete_ = false;
    // Set when a take-back failed: the error every later write gets.
    std::optional<Error> unusable_;
    // Files a temporary store created; removed with it.
    std::vector<std::string> owned_files_;
};

// The issue with a committed region of `n` bytes and CRC `crc` in a mapping, if any.
std::optional<std::string> check_committed_region(const MappedFile& mapping, std::uint64_t n, std::uint32_t crc,
                                                  std::string_view region_name);

}  // namespace orbisk
