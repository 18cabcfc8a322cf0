// The database handle's engine side: the storage, the grid index and the write
// lock of one store, and the operations the Python methods run with the
// interpreter lock released.
//
// Several handles may have one store open, in one process or in several. The
// change counter in the lock file tells each one whether another has changed
// the store since it last looked; every operation looks first and, when the
// store has changed, brings the handle's view up to date under the write lock
// (the new appends alone when nothing else happened, else a reload as at
// open). Writers look once they hold the write lock, so nothing changes
// between the look and the write, and move the counter on before they write.
//
// Locks, in the order they are taken where several are held: the write lock,
// the grid lock, the storage lock, then at most one metadata index lock (inside
// MetadataIndexes). Readers take the grid lock and the storage lock shared;
// writers take the write lock for the whole operation, and the others
// exclusively, one at a time, except compaction and a reload, which hold the
// grid lock and the storage lock together so that no reader meets new slot
// ids through an old grid. The interpreter lock is given up before any of them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/util/error.hpp"
#include "engine/index/grid_index.hpp"
#include "engine/index/metadata_indexes.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/query/distance_order.hpp"
#include "engine/query/filter.hpp"
#include "engine/query/grid_route.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/query/nearest.hpp"
#include "engine/query/text_records.hpp"
#include "engine/storage/change_counter.hpp"
#include "engine/storage/storage.hpp"
#include "engine/storage/write_lock.hpp"
#include "engine/util/thread_annotations.hpp"

namespace orbisk {

// Points to insert: coordinates, and metadata texts back to back in one buffer.
class PointBatch {
public:
    // Room for `points` points and `text_bytes` of text in all; a batch that
    // grows in steps grows geometrically, never copying its points each step.
    void reserve(std::size_t points, std::size_t text_bytes) {
        auto room = [](auto& v, std::size_t n) {
            if (n > v.capacity()) v.reserve(std::max(n, 2 * v.capacity()));
        };
        room(coords_, 2 * points);
        room(ends_, points);
        room(text_, text_bytes);
    }
    // Empties the batch, keeping its memory for the points that come next.
    void clear() {
        coords_.clear();
        ends_.clear();
        text_.clear();
    }
    // The text of the next point is appended here, then the point is closed with `add`.
    std::string& text_buffer() { return text_; }
    void add(double lat, double lon) {
        coords_.push_back(lat);
        coords_.push_back(lon);
        ends_.push_back(text_.size());
    }
    void add(double lat, double lon, std::string_view text) {
        text_ += text;
        add(lat, lon);
    }
    std::size_t size() const { return ends_.size(); }
    std::size_t text_size() const { return text_.size(); }
    // The bytes of memory the batch holds.
    std::size_t capacity_bytes() const {
        return coords_.capacity() * sizeof(double) + ends_.capacity() * sizeof(std::size_t) + text_.capacity();
    }
    double lat(std::size_t i) const { return coords_[2 * i]; }
    double lon(std::size_t i) const { return coords_[2 * i + 1]; }
    std::string_view text(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    // Points [begin, end) as the storage writes them.
    PointRun run(std::size_t begin, std::size_t end) const {
        const std::size_t from = begin == 0 ? 0 : ends_[begin - 1], to = end == 0 ? 0 : ends_[end - 1];
        return PointRun{std::span(coords_).subspan(2 * begin, 2 * (end - begin)),
                        std::string_view(text_).substr(from, to - from), std::span(ends_).subspan(begin, end - begin),
                        from};
    }

private:
    std::vector<double> coords_;
    std::vector<std::size_t> ends_;
    std::string text_;
};

// Fails unless both coordinates are finite and within [-90, 90] x [-180, 180].
Status validate_coordinates(double lat, double lon);

// Whether the points handed to a write were checked by their maker already.
enum class PointsChecked : bool { no, yes };

inline constexpr std::uint64_t kCheckpointEverySlots = 10000;
inline constexpr std::size_t kPointChunk = 100000;
inline constexpr std::size_t kGridBulkBuildAbove = 1000;
inline constexpr std::uint64_t kTemporaryCapacity = 1000000;
inline constexpr std::string_view kEmptyPathMessage =
    "the store path is empty: give the path of the store's files, or no path for a temporary store";

class Database {
public:
    // A store on `path`; `sync_interval_ms` nothing means 0. An empty path is
    // refused before any file is touched: it would name hidden files
    // (".coords.mmap", ...) in the working directory.
    static Result<std::shared_ptr<Database>> open(const std::string& path, std::uint64_t capacity,
                                                  std::uint64_t sync_interval_ms);
    // A fresh store of its own in the temporary directory, removed with the handle.
    static Result<std::shared_ptr<Database>> open_temporary();
    // A store on `path` for reading only: nothing is created or written, no
    // writer lock is taken (a shared lock on the lock file, when there is one,
    // only while the files are read), and the log is replayed in memory.
    // Every write fails with read_only_error(). When another handle has
    // changed the store, the next call reads it again whole.
    static Result<std::shared_ptr<Database>> open_read_only(const std::string& path);

    bool is_read_only() const { return read_only_; }
    // `text` is the point's stored metadata text (metadata_to_json_text).
    Result<std::uint64_t> insert(double lat, double lon, std::string_view text);
    Result<std::vector<std::uint64_t>> insert_batch(const PointBatch& points);
    // Stores the points as insert_batch does, but as one unit: one commit for
    // the whole call, so that a failure leaves none of them. Returns the first
    // id; the points have the ids that follow it in order.
    Result<std::uint64_t> append_points(const PointBatch& points);
    // The same for the points of several batches, one after the other. With
    // `checked` yes, the caller has checked every point as the store would:
    // its coordinates with validate_coordinates, its text's length against
    // kMaxEntryLength; the points are not read again before they are written.
    Result<std::uint64_t> append_points(std::span<const PointBatch> parts, PointsChecked checked = PointsChecked::no);

    // Deletes the points matching `filter`: one logged delete of those still
    // live, its checkpoint, then their removal from the grid and the metadata
    // indexes. Returns the number of points the filter matched.
    Result<std::uint64_t> delete_by_metadata(const FilterExpr& filter);
    // Rewrites the live points into the next data generation (new ids: their
    // rank in slot order), rebuilds the grid and empties the metadata indexes.
    // Returns the number of slots reclaimed.
    Result<std::uint64_t> compact();

    // A full checkpoint under the write lock.
    Status flush();
    // Issues of the committed data (empty when healthy); with `flush`, after a flush
    // whose failure is returned as the error.
    Result<std::vector<std::string>> verify_integrity(bool flush);

    // The points matching `filter`, in ascending slot order, at most `limit`
    // (kNoLimit for all), read under the storage lock held shared.
    Result<std::vector<PointRecord>> metadata_scan(const FilterExpr& filter, std::uint64_t limit);

    // The same scan for query and exists: the records with their stored text,
    // for the row builder (see TextCheck).
    Result<TextRecords> metadata_scan_texts(const FilterExpr& filter, std::uint64_t limit,
                                            TextCheck check = TextCheck::kChecked);

    // The points inside `shape` that match `filter` (all when null): the grid
    // is rebuilt first if it is due, then read under the grid and storage
    // locks held shared. Fails only when the rebuild cannot take the write lock.
    Result<TextRecords> spatial_query(const SpatialShape& shape, const FilterExpr* filter);

    // Calls f with the record store under the storage lock held shared, for
    // a caller that reads many records in place (the lock is held throughout).
    Status read_records(const std::function<void(const RecordStore&)>& f);

    // The up to `query.k` points nearest to the query's point that match
    // `filter` (all when null) within its largest distance, nearest first,
    // ties by id, with their distances; read as spatial_query reads. Fails for
    // a query validate_nearest refuses, before any lock is taken. `stats`, when
    // given, tells how the search went.
    Result<DistanceRecords> nearest(const NearestQuery& query, const FilterExpr* filter, NearestStats* stats = nullptr);
    // spatial_query's records in ascending distance from (lat, lon), ties by
    // id, with their distances. Fails for an origin validate_origin refuses.
    Result<DistanceRecords> spatial_query_by_distance(const SpatialShape& shape, const FilterExpr* filter, double lat,
                                                      double lon);
    // The points matching `filter` in ascending distance from (lat, lon), ties
    // by id, with their distances: all of them for kNoLimit, otherwise the
    // `limit` nearest (a nearest-neighbour search). Fails for an origin
    // validate_origin refuses.
    Result<DistanceRecords> metadata_scan_by_distance(const FilterExpr& filter, std::uint64_t limit, double lat,
                                                      double lon);

    Result<std::uint64_t> live_count();
    Result<std::pair<std::uint64_t, std::uint64_t>> slot_stats();

    // Rebuilds the grid when the store has grown fourfold since the last build.
    Status maybe_rebuild_grid();

    // Slots in the grid cells overlapping a box (unsorted, may include slots outside it).
    std::vector<std::uint64_t> grid_candidates(double min_lat, double min_lon, double max_lat, double max_lon) const;

    // For tests and diagnostics.
    std::uint64_t build_count() const { return build_count_.load(); }
    double grid_cell_size() const;
    IndexMemory index_memory() const { return indexes_.memory(); }
    std::string manifest_path() const {
        ReaderLock lock(storage_mutex_);
        return storage_->manifest_path();
    }

    // Brings the view up to date if another handle has changed the store (a
    // no-op for a temporary store). Every public operation starts with it.
    Status current_view();

private:
    // The change counter of a store on a path, what this handle last saw of it,
    // and how to open the store again.
    struct Shared {
        ChangeCounter counter;
        std::atomic<std::uint64_t> seen;
        OpenOptions reopen;
        // A read-only handle watches the counter instead.
        std::unique_ptr<CounterWatch> watch;
        Shared(ChangeCounter c, std::uint64_t s, OpenOptions o, std::unique_ptr<CounterWatch> w = nullptr)
            : counter(std::move(c)), seen(s), reopen(std::move(o)), watch(std::move(w)) {}
        std::uint64_t load() { return watch ? watch->load() : counter.load(); }
    };

    // `lock_file` is closed for a temporary store.
    Database(std::unique_ptr<Storage> storage, GridIndex grid, std::uint64_t build_count, File lock_file,
             std::unique_ptr<Shared> shared = nullptr);
    // current_view for a caller that holds the write lock.
    Status refresh_locked() REQUIRES(write_lock_) EXCLUDES(grid_mutex_, storage_mutex_);
    // Adds what other handles appended; false when only a reload will do.
    Result<bool> catch_up_appends() REQUIRES(write_lock_) EXCLUDES(grid_mutex_, storage_mutex_);
    // Opens the store again and puts the new view, grid and empty metadata
    // indexes in place of the old.
    Status reload() REQUIRES(write_lock_) EXCLUDES(grid_mutex_, storage_mutex_);
    // Moves the counter on by `step` before this handle changes the store
    // (the write lock held), and remembers the value.
    void announce_change(std::uint64_t step) REQUIRES(write_lock_);
    Result<std::vector<PointRecord>> scan(const FilterExpr& filter, std::uint64_t limit) EXCLUDES(storage_mutex_);
    // Validates and writes the points of `parts`, one after the other, in
    // chunks of `chunk` points (nothing: all of them), each committed on its
    // own; returns the first id.
    Result<std::uint64_t> write_batch(std::span<const PointBatch> parts, std::optional<std::size_t> chunk,
                                      PointsChecked checked = PointsChecked::no);
    // Adds the first `count` points of `parts` (slots first, first + 1, ...) to the grid.
    Status add_to_grid(std::span<const PointBatch> parts, std::size_t count, std::uint64_t first) EXCLUDES(grid_mutex_);
    // Adds stored points (slots first, first + 1, ...; text(i) is the metadata
    // text of the i-th) to the metadata indexes that have been built.
    void add_to_indexes(std::uint64_t first, std::size_t count,
                        const std::function<std::string_view(std::size_t)>& text) EXCLUDES(storage_mutex_);
    // Writes the open cache of the committed state when it is due (errors
    // are dropped: a missing cache costs the next open time, nothing else).
    void write_open_cache() REQUIRES(write_lock_) EXCLUDES(grid_mutex_, storage_mutex_);
    // Builds a grid from `points` and puts it in place of the current one.
    Status install_grid(std::vector<SlotPoint> points, std::uint64_t build_count) EXCLUDES(grid_mutex_);
    // Puts a grid built from `build_count` points in place of the current one.
    void put_grid(GridIndex grid, std::uint64_t build_count) EXCLUDES(grid_mutex_);
    // The grid of a first batch, built on a thread of its own while the batch is written.
    class GridBuild;
    // The refusal of a store that a reload found corrupt: set once, under the
    // write lock, before is_refused_ publishes it; read without the lock after.
    const Error& refusal() const NO_THREAD_SAFETY_ANALYSIS { return *refused_; }

    // Writers hold it for a whole operation; it keeps out the writers of every
    // other handle, in this process and in others.
    WriteLock write_lock_ ACQUIRED_BEFORE(grid_mutex_, storage_mutex_);
    // The grid's lock; taken before the storage lock.
    mutable SharedMutex grid_mutex_ ACQUIRED_BEFORE(storage_mutex_);
    // The storage's lock: shared by readers of the records, exclusive for
    // writes and checkpoints. A reload replaces the Storage itself under it.
    mutable SharedMutex storage_mutex_;

    std::unique_ptr<Storage> storage_ GUARDED_BY(storage_mutex_) PT_GUARDED_BY(storage_mutex_);
    GridIndex grid_ GUARDED_BY(grid_mutex_);
    // The number of points the grid was last built from; read without a lock.
    std::atomic<std::uint64_t> build_count_{0};
    // Each index behind its own lock, taken after the storage lock; an index
    // that reads the records is asked with the storage lock held shared.
    MetadataIndexes indexes_;
    // Set at open and never replaced; its members are atomic.
    const std::unique_ptr<Shared> shared_;
    // The view was caught up in part and must be reloaded.
    bool reload_due_ GUARDED_BY(write_lock_) = false;
    // Set once, when a reload refused the store; every call fails with it from then on.
    std::optional<Error> refused_ GUARDED_BY(write_lock_);
    std::atomic<bool> is_refused_{false};
    // Set at open, before the handle is shared, and never changed.
    bool read_only_ = false;
};

}  // namespace orbisk
