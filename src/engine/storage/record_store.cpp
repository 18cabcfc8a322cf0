#include "engine/storage/record_store.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>

#include "engine/util/format.hpp"
#include "engine/util/text.hpp"
#include "engine/util/thread_annotations.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk {

std::string entry_too_long_message(std::uint64_t length) {
    return cat("metadata text of ", length, " bytes is too long: an entry holds at most ", kMaxEntryLength, " bytes");
}

RecordStore RecordStore::all_live(MappedFile coords, MappedFile metadata, std::vector<MetaSpan> spans,
                                  std::uint64_t metadata_end) {
    RecordStore r(std::move(coords), std::move(metadata));
    r.next_slot_ = r.live_count_ = spans.size();
    r.live_ = SlotBitmap(spans.size());
    r.live_.invert();
    // Compaction writes the entries back to back from the data area's start.
    r.ends_.reserve(spans.size());
    for (const MetaSpan& sp : spans) {
        ORBISK_DCHECK(sp.offset == (r.ends_.empty() ? kDataStart : r.ends_.back()));
        r.ends_.push_back(sp.offset + sp.length);
    }
    r.metadata_end_ = metadata_end;
    ORBISK_DCHECK(r.bookkeeping_consistent());
    return r;
}

Result<std::uint64_t> RecordStore::append_point(double lat, double lon, std::string_view text) {
    const std::uint64_t s = next_slot_;
    const std::uint64_t p = metadata_end_;
    const std::uint64_t n = text.size();
    if (n > kMaxEntryLength) return fail(Error::invalid(entry_too_long_message(n)));
    const std::uint64_t coords_needed = kDataStart + kCoordRecord * (s + 1);
    if (coords_.size() < coords_needed)
        if (auto st = coords_.grow(coords_needed); !st) return fail(st.error());
    if (meta_.size() < p + n)
        if (auto st = meta_.grow(p + n); !st) return fail(st.error());
    // A full disk must fail here, not fault when the mapping is written.
    if (auto st = coords_.reserve_backing(coords_needed); !st) return fail(st.error());
    if (auto st = meta_.reserve_backing(p + n); !st) return fail(st.error());

    std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * s;
    store_f64(rec, lat);
    store_f64(rec + 8, lon);
    if (n) std::memcpy(meta_.data() + p, text.data(), n);

    ends_.push_back(p + n);
    live_.push_back(true);
    next_slot_ = s + 1;
    metadata_end_ = p + n;
    ++live_count_;
    ORBISK_DCHECK(bookkeeping_consistent());
    return s;
}

namespace {

// How much of a file one thread has written, followed by another.
class WriteProgress {
public:
    void advance(std::uint64_t done) {
        {
            MutexLock lock(m_);
            done_ = done;
        }
        changed_.notify_one();
    }
    // No more bytes will come (all written, or the writing failed).
    void finish() {
        {
            MutexLock lock(m_);
            finished_ = true;
        }
        changed_.notify_one();
    }
    // Calls f(from, to) for each range written since the last, every
    // kWritebackStep bytes at least, until the writer has finished.
    template <class F>
    void follow(F&& f) {
        std::uint64_t seen = 0;
        for (;;) {
            std::uint64_t done;
            bool finished;
            {
                MutexLock lock(m_);
                changed_.wait(lock.native(), [&] { return finished_ || done_ - seen >= kWritebackStep; });
                done = done_;
                finished = finished_;
            }
            if (done > seen) f(seen, done);
            seen = done;
            if (finished) return;
        }
    }

private:
    Mutex m_;
    std::condition_variable changed_;
    std::uint64_t done_ GUARDED_BY(m_) = 0;
    bool finished_ GUARDED_BY(m_) = false;
};

}  // namespace

Result<std::uint64_t> RecordStore::append_points(std::span<const PointRun> runs, AppendedCrcs* crcs) {
    const std::uint64_t s = next_slot_;
    const std::uint64_t p = metadata_end_;
    std::uint64_t n = 0, total = 0;
    for (const PointRun& run : runs) {
        for (std::size_t i = 0, begin = run.base; i < run.size(); begin = run.ends[i++])
            if (const std::uint64_t len = run.ends[i] - begin; len > kMaxEntryLength)
                return fail(Error::invalid(entry_too_long_message(len)));
        n += run.size();
        total += run.text.size();
    }
    const std::uint64_t coords_needed = kDataStart + kCoordRecord * (s + n);
    if (coords_.size() < coords_needed)
        if (auto st = coords_.grow(coords_needed); !st) return fail(st.error());
    if (meta_.size() < p + total)
        if (auto st = meta_.grow(p + total); !st) return fail(st.error());
    // The larger reservation first: on a full disk it is the one that fails,
    // before the other has taken any space.
    if (auto st = meta_.reserve_backing(p + total); !st) return fail(st.error());
    if (auto st = coords_.reserve_backing(coords_needed); !st) return fail(st.error());

    // A coordinate record is the two doubles as they lie in memory, and the
    // texts lie back to back as in the file: each run is written as it is.
    static_assert(kCoordRecord == 2 * sizeof(double));
    AppendedCrcs crc;
    const std::uint64_t coords_at = kDataStart + kCoordRecord * s;
    auto write_coords = [&]() -> Status {
        std::uint64_t at = coords_at;
        for (const PointRun& run : runs) {
            const std::uint64_t len = kCoordRecord * run.size();
            if (auto st = coords_.write_at(at, run.coords.data(), len, &crc.coords); !st) return st;
            at += len;
        }
        return {};
    };
    // The texts in slices, each reported to `progress` once written.
    auto write_texts = [&](WriteProgress* progress) -> Status {
        std::uint64_t done = 0;
        for (const PointRun& run : runs)
            for (std::size_t from = 0; from < run.text.size();) {
                const std::size_t len = std::min<std::size_t>(kWritebackStep, run.text.size() - from);
                if (auto st = meta_.write_at(p + done, run.text.data() + from, len, &crc.metadata); !st) return st;
                from += len;
                done += len;
                if (progress) progress->advance(done);
            }
        return {};
    };
    Status written[2];
    if (kCoordRecord * n + total >= kParallelWriteBytes) {
        // The two files have locks of their own in the kernel: their writes,
        // the copies into the page cache, run side by side. The coordinates,
        // the smaller part, are done first; their thread then has the texts
        // written back to the disk as they come, so that the commit's flush
        // finds them on their way already.
        WriteProgress progress;
        WorkerPool::instance().run(2, [&](std::size_t k) {
            if (k == 0) {
                written[0] = write_texts(&progress);
                progress.finish();
                return;
            }
            written[1] = write_coords();
            if (written[1]) coords_.start_writeback(coords_at, kCoordRecord * n);
            progress.follow([&](std::uint64_t from, std::uint64_t to) { meta_.start_writeback(p + from, to - from); });
        });
    } else {
        written[0] = write_texts(nullptr);
        if (written[0]) written[1] = write_coords();
    }
    for (const Status& st : written)
        if (!st) return fail(st.error());
    if (crcs) *crcs = crc;

    // Doubling, never to the exact size: many small groups must not copy the list each time.
    ends_.reserve(ends_.size() + n);
    std::uint64_t at = p;
    for (const PointRun& run : runs) {
        for (std::size_t e : run.ends) ends_.push_back(at + (e - run.base));
        at += run.text.size();
    }
    live_.grow(s + n);
    for (std::uint64_t i = s; i < s + n; ++i) live_.set(i);
    next_slot_ = s + n;
    metadata_end_ = p + total;
    live_count_ += n;
    ORBISK_DCHECK(bookkeeping_consistent());
    return s;
}

std::uint64_t RecordStore::tombstone_slots(std::span<const std::uint64_t> ids) {
    std::uint64_t count = 0;
    for (std::uint64_t id : ids) {
        if (!live_.test(id)) continue;
        live_.clear(id);
        if (record_in_file(id)) {
            std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * id;
            store_u64(rec, kTombstoneBits);
            store_u64(rec + 8, kTombstoneBits);
        }
        --live_count_;
        ++count;
    }
    return count;
}

std::optional<std::string_view> RecordStore::live_metadata_text(std::uint64_t s) const {
    if (!live_.test(s) || s >= next_slot_ || !record_in_file(s) || !coords_live(s)) return std::nullopt;
    const MetaSpan sp = span(s);
    ORBISK_DCHECK(sp.offset >= kDataStart && sp.offset + sp.length <= metadata_end_);
    if (sp.offset > meta_.size() || meta_.size() - sp.offset < sp.length) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(meta_.data()) + sp.offset, sp.length);
}

std::optional<PointRecord> RecordStore::read_live_record(std::uint64_t s) const {
    const auto text = live_metadata_text(s);
    if (!text) return std::nullopt;
    // The coordinates are read once: what is returned is what was tested.
    const std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * s;
    const double lat = load_f64(rec), lon = load_f64(rec + 8);
    if (std::isnan(lat) || std::isnan(lon)) return std::nullopt;
    auto map = metadata_from_json_text(*text);
    if (!map) return std::nullopt;
    return PointRecord{std::move(*map), s, lat, lon};
}

std::array<std::uint8_t, 16> RecordStore::coord_bytes(std::uint64_t s) const {
    std::array<std::uint8_t, 16> out;
    if (record_in_file(s)) {
        std::memcpy(out.data(), coords_.data() + kDataStart + kCoordRecord * s, out.size());
    } else {
        store_u64(out.data(), kTombstoneBits);
        store_u64(out.data() + 8, kTombstoneBits);
    }
    return out;
}

std::vector<SlotPoint> RecordStore::collect_live_points(std::uint64_t first) const {
    std::vector<SlotPoint> out;
    auto add = [&](std::uint64_t s) {
        if (!record_in_file(s)) return;
        const std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * s;
        out.push_back(SlotPoint{s, load_f64(rec), load_f64(rec + 8)});
    };
    if (first == 0) {
        out.reserve(live_count_);
        live_.for_each_set(add);
    } else {
        for (std::uint64_t s = first; s < next_slot_; ++s)
            if (live_.test(s)) add(s);
    }
    return out;
}

void RecordStore::load_derived(EntryEnds ends, SlotBitmap live, std::uint64_t live_count) {
    next_slot_ = ends.size();
    metadata_end_ = ends.empty() ? kDataStart : ends.back();
    ends_ = std::move(ends);
    live_ = std::move(live);
    live_count_ = live_count;
    ORBISK_DCHECK(bookkeeping_consistent() && live_.count() == live_count_);
}

Status RecordStore::load_records(std::uint64_t count, std::optional<std::uint64_t> committed) {
    ends_.clear();
    live_ = SlotBitmap();
    next_slot_ = 0;
    live_count_ = 0;
    metadata_end_ = kDataStart;
    return load_more_records(count, committed);
}

Status RecordStore::load_more_records(std::uint64_t count, std::optional<std::uint64_t> committed) {
    const std::uint64_t file_len = meta_.size();
    const char* text = reinterpret_cast<const char*>(meta_.data());
    // 64 + committed cannot overflow: the committed region was checked against the file first.
    const std::uint64_t bound = committed ? kDataStart + *committed : 0;
    const std::uint64_t avail_end = committed ? std::min(file_len, bound) : file_len;

    const std::uint64_t first = next_slot_;
    std::vector<std::uint64_t> ends;
    // Every entry takes at least one byte, so the file bounds the count.
    if (count > first)
        ends.reserve(std::min<std::uint64_t>(count - first, file_len > kDataStart ? file_len - kDataStart : 0));
    std::uint64_t p = metadata_end_;
    for (std::uint64_t i = first; i < count; ++i) {
        if (committed && p >= bound)
            return fail(Error::invalid(cat("metadata exhausted at entry ", i, " of ", count, " (offset ", p,
                                           " reached committed bound ", bound, ")")));
        if (p >= file_len)
            return fail(Error::invalid(
                cat("metadata truncated at entry ", i, " of ", count, " (offset ", p, " >= file len ", file_len, ")")));
        std::optional<std::size_t> k;
        if (p < avail_end) k = scan_json_value(std::string_view(text + p, avail_end - p));
        if (!k || *k > kMaxEntryLength) {
            if (committed)
                return fail(
                    Error::invalid(cat("metadata entry ", i, " of ", count, " failed to decode at offset ", p)));
            break;
        }
        p += *k;
        ends.push_back(p);
    }
    if (committed && p != bound)
        return fail(Error::invalid(
            cat("metadata parse consumed ", p - kDataStart, " bytes but committed region is ", *committed, " bytes")));

    const std::uint64_t n = first + ends.size();
    if (first == 0) ends_.reserve(n);
    for (std::uint64_t e : ends) ends_.push_back(e);
    // A catch-up appends a few bits: growing by doubling is cheaper than a
    // reservation to the exact size each time.
    if (first == 0) live_.reserve(n);
    for (std::uint64_t j = first; j < n; ++j) {
        const bool alive = record_in_file(j) && coords_live(j);
        live_.push_back(alive);
        live_count_ += alive;
    }
    next_slot_ = n;
    metadata_end_ = p;
    ORBISK_DCHECK(bookkeeping_consistent());
    return {};
}

bool RecordStore::coords_live(std::uint64_t s) const {
    const std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * s;
    return !std::isnan(load_f64(rec)) && !std::isnan(load_f64(rec + 8));
}

void RecordStore::truncate_appends(const AppendMark& mark, bool give_back_space) {
    // Only appends are taken back, and none of them was tombstoned since.
    ORBISK_DCHECK(mark.next_slot <= next_slot_ && mark.metadata_end <= metadata_end_ &&
                  live_count_ - mark.live_count == next_slot_ - mark.next_slot);
    // Files that grew for the appends go back to their length, so that a
    // full disk has its space back (a failure leaves the longer file in use,
    // which is harmless). No other handle can have reached past that length.
    if (give_back_space && coords_.size() > mark.coords_size) (void)coords_.resize_exact(mark.coords_size);
    if (give_back_space && meta_.size() > mark.metadata_size) (void)meta_.resize_exact(mark.metadata_size);
    ends_.truncate(mark.next_slot);
    live_.truncate(mark.next_slot);
    next_slot_ = mark.next_slot;
    metadata_end_ = mark.metadata_end;
    live_count_ = mark.live_count;
    ORBISK_DCHECK(bookkeeping_consistent());
}

}  // namespace orbisk
