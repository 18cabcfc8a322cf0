#include "engine/database.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "engine/query/metadata_scan.hpp"
#include "engine/query/spatial_query.hpp"
#include "engine/storage/paths.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

std::string temporary_directory() {
    const char* dir = std::getenv("TMPDIR");
    std::string out = dir && *dir ? dir : "/tmp";
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::atomic<std::uint64_t> temporary_counter{0};
constexpr int kTemporaryAttempts = 10000;

// The grid an open serves from a freshly opened Storage, with the number of
// points it counts as built from: the open cache's grid when the Storage came
// from a cache (with the points the log added since), else a build.
Result<std::pair<GridIndex, std::uint64_t>> open_grid(const Storage& storage) {
    const auto& cache = storage.open_cache();
    // A replayed delete would have to take points out of the cached cells;
    // the build is simpler and as fast as the replay's own walk.
    if (cache && !storage.replayed_delete()) {
        auto grid = GridIndex::from_cache(
            cache, cache->section(CacheSection::GridHeader), cache->words(CacheSection::GridCells),
            cache->words(CacheSection::GridEntries), cache->stamp().next_slot, cache->stamp().live_count);
        if (grid) {
            for (const SlotPoint& p : storage.records().collect_live_points(cache->stamp().next_slot))
                if (auto st = grid->insert(p.slot, p.lat, p.lon); !st) return fail(st.error());
            return std::pair{std::move(*grid), cache->stamp().live_count};
        }
    }
    auto points = storage.records().collect_live_points();
    const std::uint64_t n = points.size();
    auto grid = GridIndex::try_build(std::move(points));
    if (!grid) return fail(grid.error());
    return std::pair{std::move(*grid), n};
}

// Writes the open cache of `storage`'s committed state when it is due, with
// `grid` when it is what a build gives, else with a grid built for it; that
// build (about what an open without a cache costs) only when the store has
// changed enough since the last cache, so that a flush after every few writes
// to a large store does not pay it each time.
Status write_cache(const Storage& storage, const GridIndex& grid) {
    if (!storage.open_cache_due()) return {};
    if (!grid.is_fresh_build() && !storage.open_cache_worth_a_build()) return {};
    std::optional<GridIndex> built;
    if (!grid.is_fresh_build()) built = GridIndex::build(storage.records().collect_live_points());
    const GridIndex::CacheImage image = (built ? *built : grid).cache_image();
    auto bytes = [](const auto& v) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(std::data(v)),
                                             std::size(v) * sizeof(*std::data(v)));
    };
    return storage.write_open_cache({bytes(image.header)}, {bytes(image.cells)}, image.entries);
}

}  // namespace

Status validate_coordinates(double lat, double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon))
        return fail(Error::invalid(cat("non-finite coordinate (lat=", format_coordinate(lat),
                                       ", lon=", format_coordinate(lon), "); NaN/Inf are not storable")));
    if (std::fabs(lat) > 90.0 || std::fabs(lon) > 180.0)
        return fail(Error::invalid(cat("coordinate out of range (lat=", format_coordinate(lat),
                                       " must be in [-90,90], lon=", format_coordinate(lon), " in [-180,180])")));
    return {};
}

Database::Database(std::unique_ptr<Storage> storage, GridIndex grid, std::uint64_t build_count, File lock_file,
                   std::unique_ptr<Shared> shared)
    : write_lock_(std::move(lock_file)),
      storage_(std::move(storage)),
      grid_(std::move(grid)),
      build_count_(build_count),
      shared_(std::move(shared)) {}

Result<std::shared_ptr<Database>> Database::open(const std::string& path, std::uint64_t capacity,
                                                 std::uint64_t sync_interval_ms) {
    if (path.empty()) return fail(Error::invalid(std::string(kEmptyPathMessage)));
    const StoreNames names = derive_names(path);
    auto lock_file = File::open_rw_create(names.lock);
    if (!lock_file) return fail(lock_file.error());
    if (auto st = lock_file->lock_exclusive(); !st) return fail(st.error());
    OpenOptions options{names.coords, names.metadata, capacity, sync_interval_ms, false};
    auto counter = ChangeCounter::map(*lock_file);
    auto storage = counter ? Storage::open(options) : fail(counter.error());
    std::uint64_t seen = 0;
    // A replay after a crash rewrites the manifest and may cut the log: the
    // other handles must look again, whole.
    if (storage) seen = (*storage)->changed_at_open() ? counter->advance(kRewriteStep) : counter->load();
    // The grid is made under the lock as well, so that a cache written from
    // it describes the committed state no other writer has moved on from.
    auto grid = storage ? open_grid(**storage) : fail(storage.error());
    // Only a grid built here is written: after a replay on top of a cache, a
    // build for the cache would make this open cost what the cache saves.
    if (grid && grid->first.is_fresh_build()) (void)write_cache(**storage, grid->first);
    lock_file->unlock();
    if (!grid) return fail(grid.error());

    options.reload = true;
    return std::shared_ptr<Database>(new Database(std::move(*storage), std::move(grid->first), grid->second,
                                                  std::move(*lock_file),
                                                  std::make_unique<Shared>(std::move(*counter), seen, options)));
}

Result<std::shared_ptr<Database>> Database::open_read_only(const std::string& path) {
    const StoreNames names = derive_names(path);
    auto watch = std::make_unique<CounterWatch>(names.lock);
    // Without a lock file no writer has the store open (read-only media, or
    // a store no writer has opened since): there is nothing to wait for.
    File* lock_file = watch->lock_file();
    if (lock_file)
        if (auto st = lock_file->lock_shared(); !st) return fail(st.error());
    OpenOptions options{names.coords, names.metadata, 0, 0, false};
    options.read_only = true;
    const std::uint64_t seen = watch->load();
    auto storage = Storage::open(options);
    if (lock_file) lock_file->unlock();
    if (!storage) return fail(storage.error());

    auto grid = open_grid(**storage);
    if (!grid) return fail(grid.error());
    std::shared_ptr<Database> db(
        new Database(std::move(*storage), std::move(grid->first), grid->second, File(),
                     std::make_unique<Shared>(ChangeCounter(), seen, options, std::move(watch))));
    db->read_only_ = true;
    return db;
}

Result<std::shared_ptr<Database>> Database::open_temporary() {
    const std::string dir = temporary_directory();
    const std::string pid = std::to_string(::getpid());
    Error last = Error::os(EEXIST);
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const std::string stem = cat(dir, "/orbisk_", pid, "_", temporary_counter.fetch_add(1));
        OpenOptions opt{stem + "_coords.mmap", stem + "_metadata.mmap", kTemporaryCapacity, ~std::uint64_t{0}, true};
        // Files left under this stem by someone else are never opened: move on to the next name.
        const std::string manifest = commit_path(opt.coords_path);
        if (path_exists(opt.coords_path) || path_exists(opt.metadata_path) || path_exists(wal_path(opt.coords_path)) ||
            path_exists(manifest) || path_exists(manifest_temp_path(manifest)))
            continue;
        auto storage = Storage::open(opt);
        if (!storage) {
            last = storage.error();
            if (last.kind == ErrorKind::Os && last.code == EEXIST) continue;
            return fail(last);
        }
        return std::shared_ptr<Database>(new Database(std::move(*storage), GridIndex(), 0, File()));
    }
    return fail(last);
}

Result<std::uint64_t> Database::insert(double lat, double lon, std::string_view text) {
    if (read_only_) return fail(read_only_error());
    if (auto st = validate_coordinates(lat, lon); !st) return fail(st.error());
    if (text.size() > kMaxEntryLength) return fail(Error::invalid(entry_too_long_message(text.size())));
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    announce_change(kAppendStep);
    std::uint64_t slot;
    {
        WriterLock lock(storage_mutex_);
        auto r = storage_->insert_point(PendingPoint{lat, lon, text});
        if (!r) return fail(r.error());
        slot = *r;
        // The point is durable through the log whether or not this checkpoint succeeds.
        if ((slot + 1) % kCheckpointEverySlots == 0) (void)storage_->commit_after_write();
    }
    Status grid;
    {
        WriterLock lock(grid_mutex_);
        grid = grid_.insert(slot, lat, lon);
    }
    // The point is stored either way: metadata queries must find it.
    add_to_indexes(slot, 1, [&](std::size_t) { return text; });
    if (!grid) return fail(grid.error());
    return slot;
}

Result<std::vector<std::uint64_t>> Database::insert_batch(const PointBatch& points) {
    auto first = write_batch(std::span(&points, 1), kPointChunk);
    if (!first) return fail(first.error());
    std::vector<std::uint64_t> ids(points.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = *first + i;
    return ids;
}

Result<std::uint64_t> Database::append_points(const PointBatch& points) {
    return write_batch(std::span(&points, 1), std::nullopt);
}

Result<std::uint64_t> Database::append_points(std::span<const PointBatch> parts, PointsChecked checked) {
    return write_batch(parts, std::nullopt, checked);
}

namespace {

// Calls f(part, begin, end) for the points [from, to) of several batches taken
// one after the other, a piece of one batch at a time.
template <class F>
void for_each_piece(std::span<const PointBatch> parts, std::size_t from, std::size_t to, F&& f) {
    std::size_t base = 0;
    for (const PointBatch& part : parts) {
        const std::size_t begin = std::max(from, base), end = std::min(to, base + part.size());
        if (begin < end) f(part, begin - base, end - base);
        base += part.size();
    }
}

std::vector<SlotPoint> slot_points(std::span<const PointBatch> parts, std::size_t count, std::uint64_t first) {
    std::vector<SlotPoint> list;
    list.reserve(count);
    for_each_piece(parts, 0, count, [&](const PointBatch& part, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) list.push_back({first + list.size(), part.lat(i), part.lon(i)});
    });
    return list;
}

}  // namespace

// The grid of the points of a first write (slots 0, 1, ...), built on a
// thread of its own from the start. Without a thread (none could be
// started), it is built when it is asked for.
class Database::GridBuild {
public:
    GridBuild(std::span<const PointBatch> parts, std::size_t count) : parts_(parts), count_(count) {
        try {
            thread_ = std::jthread([this] { result_ = build(); });
        } catch (const std::system_error&) {}
    }
    // Waits for the grid and puts it in place.
    Status install(Database& db) {
        if (thread_.joinable())
            thread_.join();
        else
            result_ = build();
        if (!result_) return fail(result_.error());
        db.put_grid(std::move(*result_), count_);
        return {};
    }

private:
    Result<GridIndex> build() const {
        try {
            return GridIndex::try_build(slot_points(parts_, count_, 0));
        } catch (const std::bad_alloc&) {
            return fail(Error::os(ENOMEM));
        }
    }
    std::span<const PointBatch> parts_;
    std::size_t count_;
    Result<GridIndex> result_ = fail(Error::internal("the grid was not built"));
    // Last: joined on destruction before the members it writes go.
    std::jthread thread_;
};

Result<std::uint64_t> Database::write_batch(std::span<const PointBatch> parts, std::optional<std::size_t> chunk,
                                            PointsChecked checked) {
    if (read_only_) return fail(read_only_error());
    std::size_t total = 0;
    for (const PointBatch& points : parts) {
        if (checked == PointsChecked::no) {
            for (std::size_t i = 0; i < points.size(); ++i)
                if (auto st = validate_coordinates(points.lat(i), points.lon(i)); !st) return fail(st.error());
            for (std::size_t i = 0; i < points.size(); ++i)
                if (points.text(i).size() > kMaxEntryLength)
                    return fail(Error::invalid(entry_too_long_message(points.text(i).size())));
        }
        total += points.size();
    }
    const std::size_t chunk_points = chunk ? std::max<std::size_t>(*chunk, 1) : std::max<std::size_t>(total, 1);

    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    announce_change(kAppendStep);
    std::uint64_t first;
    std::size_t kept = 0;
    std::optional<Error> failure;
    // A first write into an empty store makes the grid anew: it is built from
    // the coordinates while the storage writes and forces the files, and put
    // in place only once the points are stored.
    std::optional<GridBuild> built;
    {
        WriterLock lock(storage_mutex_);
        first = storage_->next_slot();
        if (first == 0 && total > kGridBulkBuildAbove) built.emplace(parts, total);
        std::vector<PointRun> runs;
        for (std::size_t start = 0; start < total; start += chunk_points) {
            const std::size_t end = std::min(total, start + chunk_points);
            runs.clear();
            for_each_piece(parts, start, end, [&](const PointBatch& part, std::size_t begin, std::size_t stop) {
                runs.push_back(part.run(begin, stop));
            });
            if (auto f = storage_->write_points(runs)) {
                if (f->kept) kept = end;
                failure = std::move(f->error);
                break;
            }
            kept = end;
        }
    }
    // Whatever stays stored is served by this handle's grid and indexes, even
    // when the call fails.
    Status grid;
    if (built && kept == total)
        grid = built->install(*this);
    else
        grid = add_to_grid(parts, kept, first);
    std::size_t base = 0;
    for_each_piece(parts, 0, kept, [&](const PointBatch& part, std::size_t begin, std::size_t end) {
        add_to_indexes(first + base, end - begin, [&](std::size_t i) { return part.text(begin + i); });
        base += end - begin;
    });
    if (!grid) return fail(grid.error());
    if (failure) return fail(std::move(*failure));
    // The store's first points, committed, with the grid a build gives: the
    // open cache costs only its writing now (a few milliseconds a million
    // points), and spares every open until the next change deriving it all.
    if (built) write_open_cache();
    return first;
}

Status Database::add_to_grid(std::span<const PointBatch> parts, std::size_t count, std::uint64_t first) {
    if (first == 0 && count > kGridBulkBuildAbove) return install_grid(slot_points(parts, count, first), count);
    WriterLock lock(grid_mutex_);
    Status st;
    std::uint64_t slot = first;
    for_each_piece(parts, 0, count, [&](const PointBatch& part, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && st; ++i) st = grid_.insert(slot++, part.lat(i), part.lon(i));
    });
    return st;
}

void Database::add_to_indexes(std::uint64_t first, std::size_t count,
                              const std::function<std::string_view(std::size_t)>& text) {
    // Reads of other threads may build an index at any moment; one built after
    // this look has read these points from the storage already.
    if (count == 0 || !indexes_.any_built()) return;
    std::vector<MetadataMap> maps(count);
    for (std::size_t i = 0; i < count; ++i)
        // Text this handle wrote always reads back; anything else reads as absent.
        if (auto m = metadata_from_json_text(text(i))) maps[i] = std::move(*m);
    // Where each text starts, for the lookups of the value index to ask for it early.
    std::vector<std::uint32_t> lines(count);
    {
        ReaderLock lock(storage_mutex_);
        const RecordStore& records = storage_->records();
        for (std::size_t i = 0; i < count && first + i < records.next_slot(); ++i)
            lines[i] = records.metadata_line(first + i);
    }
    indexes_.add(first, maps, lines);
}

namespace {
// A read whose result or index is too large for memory fails the call, not the process.
template <class F>
auto unless_out_of_memory(F read) -> Result<decltype(read())> {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return fail(Error::os(ENOMEM));
    }
}
}  // namespace

Result<std::vector<PointRecord>> Database::metadata_scan(const FilterExpr& filter, std::uint64_t limit) {
    if (auto st = current_view(); !st) return fail(st.error());
    return scan(filter, limit);
}

Result<std::vector<PointRecord>> Database::scan(const FilterExpr& filter, std::uint64_t limit) {
    if (limit == 0) return std::vector<PointRecord>{};
    ReaderLock lock(storage_mutex_);
    const RecordStore& records = storage_->records();
    return unless_out_of_memory([&] { return orbisk::metadata_scan(records, indexes_, filter, limit); });
}

Result<TextRecords> Database::metadata_scan_texts(const FilterExpr& filter, std::uint64_t limit, TextCheck check) {
    if (auto st = current_view(); !st) return fail(st.error());
    if (limit == 0) return TextRecords{};
    ReaderLock lock(storage_mutex_);
    const RecordStore& records = storage_->records();
    return unless_out_of_memory([&] { return orbisk::metadata_scan_texts(records, indexes_, filter, limit, check); });
}

Result<TextRecords> Database::spatial_query(const SpatialShape& shape, const FilterExpr* filter) {
    if (auto st = current_view(); !st) return fail(st.error());
    if (auto st = maybe_rebuild_grid(); !st) return fail(st.error());
    ReaderLock grid_lock(grid_mutex_);
    ReaderLock storage_lock(storage_mutex_);
    const GridIndex* grid = &grid_;
    const RecordStore& records = storage_->records();
    return unless_out_of_memory([&] { return orbisk::spatial_query(*grid, records, indexes_, shape, filter).records; });
}

Result<DistanceRecords> Database::nearest(const NearestQuery& query, const FilterExpr* filter, NearestStats* stats) {
    if (auto st = validate_nearest(query); !st) return fail(st.error());
    if (auto st = current_view(); !st) return fail(st.error());
    if (auto st = maybe_rebuild_grid(); !st) return fail(st.error());
    ReaderLock grid_lock(grid_mutex_);
    ReaderLock storage_lock(storage_mutex_);
    const GridIndex* grid = &grid_;
    const RecordStore& records = storage_->records();
    return unless_out_of_memory([&] { return orbisk::nearest(*grid, records, indexes_, query, filter, stats); });
}

Result<DistanceRecords> Database::spatial_query_by_distance(const SpatialShape& shape, const FilterExpr* filter,
                                                            double lat, double lon) {
    if (auto st = validate_origin(lat, lon); !st) return fail(st.error());
    auto records = spatial_query(shape, filter);
    if (!records) return fail(records.error());
    // Sorted with no lock held: the records are copies.
    return unless_out_of_memory([&] { return sort_by_distance(*records, lat, lon); });
}

Result<DistanceRecords> Database::metadata_scan_by_distance(const FilterExpr& filter, std::uint64_t limit, double lat,
                                                            double lon) {
    if (auto st = validate_origin(lat, lon); !st) return fail(st.error());
    if (limit != kNoLimit) return nearest(NearestQuery{lat, lon, limit}, &filter);
    auto records = metadata_scan_texts(filter, kNoLimit);
    if (!records) return fail(records.error());
    return unless_out_of_memory([&] { return sort_by_distance(*records, lat, lon); });
}

Result<std::uint64_t> Database::delete_by_metadata(const FilterExpr& filter) {
    if (read_only_) return fail(read_only_error());
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    // A handle that refuses writes refuses this one too, whatever the scan finds.
    {
        ReaderLock lock(storage_mutex_);
        if (auto st = storage_->check_writable(); !st) return fail(st.error());
    }
    // The scan and the deletion are one unit against every other writer.
    auto scanned = scan(filter, kNoLimit);
    if (!scanned) return fail(scanned.error());
    const std::vector<PointRecord>& records = *scanned;
    if (records.empty()) return 0;
    announce_change(kRewriteStep);
    {
        WriterLock lock(storage_mutex_);
        std::vector<std::uint64_t> ids;
        ids.reserve(records.size());
        for (const auto& r : records)
            if (storage_->records().live_bitmap().test(r.slot)) ids.push_back(r.slot);
        if (!ids.empty())
            if (auto r = storage_->delete_slots(ids); !r) return fail(r.error());
    }
    {
        std::vector<SlotPoint> points;
        points.reserve(records.size());
        for (const auto& r : records) points.push_back({r.slot, r.lat, r.lon});
        WriterLock lock(grid_mutex_);
        grid_.remove(points);
    }
    indexes_.remove(records);
    return records.size();
}

Result<std::uint64_t> Database::compact() {
    if (read_only_) return fail(read_only_error());
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    {
        ReaderLock lock(storage_mutex_);
        announce_change(storage_->next_slot() != storage_->live_count() ? kRewriteStep : kAppendStep);
    }
    // Slot ids change with the generation, so no reader may meet the new
    // generation through the old grid or the old metadata indexes. The grid
    // lock is taken before the storage lock, as readers take them, and held
    // until the new grid is in place; the indexes are emptied before the
    // storage lock is released (a reader holding an index lock always holds
    // the storage lock shared, so none can be waiting for it meanwhile).
    WriterLock grid_lock(grid_mutex_);
    std::uint64_t reclaimed;
    std::vector<SlotPoint> points;
    {
        WriterLock lock(storage_mutex_);
        auto r = storage_->compact();
        if (!r) return fail(r.error());
        reclaimed = *r;
        if (reclaimed == 0) return 0;
        points = storage_->records().collect_live_points();
        indexes_.reset();
    }
    const std::uint64_t n = points.size();
    // Slots are dense from 0 after compaction and fit the grid's 32-bit ids.
    grid_ = GridIndex::build(std::move(points));
    {
        // The new generation's open cache, from the grid just built.
        ReaderLock lock(storage_mutex_);
        (void)write_cache(*storage_, grid_);
    }
    grid_lock.unlock();
    build_count_.store(n);
    return reclaimed;
}

Status Database::flush() {
    if (read_only_) return fail(read_only_error());
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    announce_change(kAppendStep);
    {
        WriterLock lock(storage_mutex_);
        if (auto st = storage_->checkpoint(true); !st) return st;
    }
    write_open_cache();
    return {};
}

void Database::write_open_cache() {
    ReaderLock grid_lock(grid_mutex_);
    ReaderLock lock(storage_mutex_);
    (void)write_cache(*storage_, grid_);
}

Result<std::vector<std::string>> Database::verify_integrity(bool flush_first) {
    if (flush_first && read_only_) return fail(read_only_error());
    if (flush_first)
        if (auto st = flush(); !st) return fail(st.error());
    if (auto st = current_view(); !st) return fail(st.error());
    ReaderLock lock(storage_mutex_);
    return storage_->verify_committed();
}

Status Database::read_records(const std::function<void(const RecordStore&)>& f) {
    if (auto st = current_view(); !st) return fail(st.error());
    ReaderLock lock(storage_mutex_);
    try {
        f(storage_->records());
    } catch (const std::bad_alloc&) {
        return fail(Error::os(ENOMEM));
    }
    return {};
}

Result<std::uint64_t> Database::live_count() {
    if (auto st = current_view(); !st) return fail(st.error());
    ReaderLock lock(storage_mutex_);
    return storage_->live_count();
}

Result<std::pair<std::uint64_t, std::uint64_t>> Database::slot_stats() {
    if (auto st = current_view(); !st) return fail(st.error());
    ReaderLock lock(storage_mutex_);
    return std::pair{storage_->next_slot(), storage_->live_count()};
}

namespace {
bool grid_rebuild_due(std::uint64_t live, std::uint64_t built) {
    if (live < 2048) return false;
    if (built == 0) return true;
    if (built > (~std::uint64_t{0}) / 4) return live >= ~std::uint64_t{0};
    return live >= 4 * built;
}
}  // namespace

Status Database::maybe_rebuild_grid() {
    {
        ReaderLock lock(storage_mutex_);
        if (!grid_rebuild_due(storage_->live_count(), build_count_.load())) return {};
    }
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    if (auto st = refresh_locked(); !st) return fail(st.error());
    std::vector<SlotPoint> points;
    std::uint64_t live;
    {
        ReaderLock lock(storage_mutex_);
        live = storage_->live_count();
        if (!grid_rebuild_due(live, build_count_.load())) return {};
        points = storage_->records().collect_live_points();
    }
    return install_grid(std::move(points), live);
}

Status Database::install_grid(std::vector<SlotPoint> points, std::uint64_t build_count) {
    // Built outside the grid lock: queries wait only for the swap.
    auto grid = GridIndex::try_build(std::move(points));
    if (!grid) return fail(grid.error());
    put_grid(std::move(*grid), build_count);
    return {};
}

void Database::put_grid(GridIndex grid, std::uint64_t build_count) {
    {
        WriterLock lock(grid_mutex_);
        grid_ = std::move(grid);
    }
    build_count_.store(build_count);
}

// ---- several handles on one store ------------------------------------------------

Status Database::current_view() {
    if (is_refused_.load(std::memory_order_acquire)) return fail(refusal());
    if (!shared_ || shared_->load() == shared_->seen.load(std::memory_order_acquire)) return {};
    WriteGuard guard(write_lock_);
    if (!guard.status()) return fail(guard.status().error());
    return refresh_locked();
}

Status Database::refresh_locked() {
    if (refused_) return fail(*refused_);
    if (!shared_) return {};
    const std::uint64_t now = shared_->load();
    const std::uint64_t seen = shared_->seen.load();
    if (now == seen && !reload_due_) return {};
    if (!reload_due_ && !read_only_ && only_appends_between(seen, now)) {
        auto r = catch_up_appends();
        // A view caught up in part is never used: the next call reloads.
        if (!r || !*r) reload_due_ = true;
        if (!r) return fail(r.error());
    } else {
        reload_due_ = true;
    }
    if (reload_due_) {
        if (auto st = reload(); !st) {
            // What an open would refuse, this handle refuses from now on,
            // rather than serve or write over a store it cannot read.
            if (st.error().kind == ErrorKind::InvalidData) {
                refused_ = Error{ErrorKind::Refused, 0, st.error().message};
                is_refused_.store(true, std::memory_order_release);
                return fail(*refused_);
            }
            return st;
        }
        reload_due_ = false;
    }
    shared_->seen.store(now, std::memory_order_release);
    return {};
}

Result<bool> Database::catch_up_appends() {
    std::uint64_t first;
    std::vector<SlotPoint> points;
    std::vector<MetadataMap> maps;
    std::vector<std::uint32_t> lines;
    {
        WriterLock lock(storage_mutex_);
        first = storage_->next_slot();
        auto r = storage_->catch_up();
        if (!r) return fail(r.error());
        if (*r == Storage::CatchUp::NeedsReload) return false;
        const RecordStore& records = storage_->records();
        const std::uint64_t end = records.next_slot();
        if (end == first) return true;
        points = records.collect_live_points(first);
        // Metadata is parsed only for the indexes that have been built.
        if (indexes_.any_built()) {
            maps.resize(end - first);
            lines.resize(end - first);
            for (const SlotPoint& p : points) {
                if (auto rec = records.read_live_record(p.slot)) maps[p.slot - first] = std::move(rec->metadata);
                lines[p.slot - first] = records.metadata_line(p.slot);
            }
        }
    }
    {
        WriterLock lock(grid_mutex_);
        for (const SlotPoint& p : points)
            if (auto st = grid_.insert(p.slot, p.lat, p.lon); !st) return fail(st.error());
    }
    if (!maps.empty()) indexes_.add(first, maps, lines);
    return true;
}

Status Database::reload() {
    // A read-only handle holds no write lock: the shared lock keeps writers of
    // other handles out while it reads the files.
    File* lock_file = read_only_ ? shared_->watch->lock_file() : nullptr;
    if (lock_file)
        if (auto st = lock_file->lock_shared(); !st) return fail(st.error());
    auto fresh = Storage::open(shared_->reopen);
    if (lock_file) lock_file->unlock();
    if (!fresh) return fail(fresh.error());
    auto made = open_grid(**fresh);
    if (!made) return fail(made.error());
    auto grid = std::optional<GridIndex>(std::move(made->first));
    const std::uint64_t n = made->second;
    // Slot ids may mean other points now: the grid, the storage and the
    // metadata indexes change together, as in a compaction.
    WriterLock grid_lock(grid_mutex_);
    WriterLock lock(storage_mutex_);
    storage_ = std::move(*fresh);
    indexes_.reset();
    grid_ = std::move(*grid);
    build_count_.store(n);
    return {};
}

void Database::announce_change(std::uint64_t step) {
    if (shared_) shared_->seen.store(shared_->counter.advance(step), std::memory_order_release);
}

std::vector<std::uint64_t> Database::grid_candidates(double min_lat, double min_lon, double max_lat,
                                                     double max_lon) const {
    ReaderLock lock(grid_mutex_);
    return grid_.candidates(min_lat, min_lon, max_lat, max_lon);
}

double Database::grid_cell_size() const {
    ReaderLock lock(grid_mutex_);
    return grid_.cell_size();
}

}  // namespace orbisk
