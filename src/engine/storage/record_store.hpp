// The two data files and the in-memory slot bookkeeping that locates each point:
// fixed 16-byte coordinate records and back-to-back metadata texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/util/debug_check.hpp"
#include "engine/util/error.hpp"
#include "engine/util/format.hpp"
#include "engine/util/fs.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/storage/entry_ends.hpp"
#include "engine/storage/slot_point.hpp"
#include "engine/util/slot_bitmap.hpp"

namespace orbisk {

// Where one slot's metadata text lies in the metadata file.
struct MetaSpan {
    std::uint64_t offset;
    std::uint32_t length;
};

// One live point as read for results.
struct PointRecord {
    MetadataMap metadata;
    std::uint64_t slot;
    double lat;
    double lon;
};

// A point ready to be written: validated coordinates and its metadata text.
struct PendingPoint {
    double lat;
    double lon;
    std::string_view text;
};

// Points ready to be written in bulk, as a batch keeps them: the coordinates
// as (lat, lon) pairs, the texts back to back, and the end of each text.
struct PointRun {
    std::span<const double> coords;     // 2 per point
    std::string_view text;              // the texts of all the points, in order
    std::span<const std::size_t> ends;  // the end of each point's text, counted from `base`
    std::size_t base = 0;               // where `text` starts, counted as `ends` counts

    std::size_t size() const { return ends.size(); }
    PendingPoint point(std::size_t i) const {
        const std::size_t begin = i == 0 ? base : ends[i - 1];
        return {coords[2 * i], coords[2 * i + 1], text.substr(begin - base, ends[i] - begin)};
    }
};

// The CRC-32 of the bytes a group of points added to each data file.
struct AppendedCrcs {
    std::uint32_t coords = 0;
    std::uint32_t metadata = 0;
};

// A group of at least this many bytes has its two files written on two threads.
inline constexpr std::uint64_t kParallelWriteBytes = 1 << 20;
// How many bytes of texts are written before the disk is asked to take them.
inline constexpr std::uint64_t kWritebackStep = 8 << 20;

// Longest metadata text an entry can hold.
inline constexpr std::uint64_t kMaxEntryLength = 0xFFFFFFFFull;
std::string entry_too_long_message(std::uint64_t length);

class RecordStore {
public:
    RecordStore() = default;
    RecordStore(MappedFile coords, MappedFile metadata) : coords_(std::move(coords)), meta_(std::move(metadata)) {}
    // The bookkeeping of files whose slots are all live: one span per slot, the
    // last ending at `metadata_end` (a data generation written by compaction).
    static RecordStore all_live(MappedFile coords, MappedFile metadata, std::vector<MetaSpan> spans,
                                std::uint64_t metadata_end);

    // Stores one point (coordinates already validated) and returns its slot id.
    // On failure nothing observable has changed.
    Result<std::uint64_t> append_point(double lat, double lon, std::string_view text);
    // Stores a group of points (coordinates validated), the runs one after
    // the other, as append_point would one by one: the files grown and their
    // storage reserved once (the larger first, so that a full disk fails it
    // before the other takes space), then each file written in one pass, a
    // large group's two files on two threads. Returns the first slot id, and
    // with `crcs` the CRC of the bytes appended to each file.
    // On failure nothing observable has changed (the bookkeeping is left as
    // it was; bytes written past the end it knows are not read).
    Result<std::uint64_t> append_points(std::span<const PointRun> runs, AppendedCrcs* crcs = nullptr);
    Result<std::uint64_t> append_points(const PointRun& points) { return append_points(std::span(&points, 1)); }
    // Marks the listed live slots deleted; returns how many were.
    std::uint64_t tombstone_slots(std::span<const std::uint64_t> ids);
    // The live point in slot `s`, or nothing (not live, out of range, damaged or unreadable).
    std::optional<PointRecord> read_live_record(std::uint64_t s) const;
    // The stored metadata text of a slot that read_live_record would read, or
    // nothing where it would give nothing before parsing.
    std::optional<std::string_view> live_metadata_text(std::uint64_t s) const;
    // The 16 bytes of slot `s`'s coordinate record, or the tombstone pattern
    // when the record lies beyond the file.
    std::array<std::uint8_t, 16> coord_bytes(std::uint64_t s) const;
    // (slot, lat, lon) of every live slot from `first` on whose record lies
    // inside the file, ascending.
    std::vector<SlotPoint> collect_live_points(std::uint64_t first = 0) const;

    // Rebuilds the bookkeeping from the files: `count` entries, and when
    // `committed` is given, exactly that many metadata bytes (strict mode).
    Status load_records(std::uint64_t count, std::optional<std::uint64_t> committed);
    // Extends the bookkeeping to `count` entries with the entries that follow
    // the known ones, by the same rules (`committed` counts from the start of
    // the data area). On failure nothing has changed.
    Status load_more_records(std::uint64_t count, std::optional<std::uint64_t> committed);
    // Takes the bookkeeping of `next_slot` slots as an open cache holds it
    // (open_cache.hpp), which was derived from these files by the rules of
    // load_records and is checked against them by its caller.
    void load_derived(EntryEnds ends, SlotBitmap live, std::uint64_t live_count);

    // State of the append end, to take back appends that were not kept.
    struct AppendMark {
        std::uint64_t next_slot;
        std::uint64_t metadata_end;
        std::uint64_t live_count;
        std::uint64_t coords_size;  // the files' lengths then
        std::uint64_t metadata_size;
    };
    AppendMark append_mark() const { return {next_slot_, metadata_end_, live_count_, coords_.size(), meta_.size()}; }
    // Forgets every slot appended since `mark` (no slot appended since may
    // have been tombstoned). With `give_back_space` (the appends reached no
    // manifest), files that grew for them go back to their length then.
    void truncate_appends(const AppendMark& mark, bool give_back_space = true);

    std::uint64_t next_slot() const { return next_slot_; }
    std::uint64_t live_count() const { return live_count_; }
    std::uint64_t metadata_end() const { return metadata_end_; }
    MetaSpan span(std::uint64_t s) const {
        const std::uint64_t start = ends_.start(s, kDataStart);
        return MetaSpan{start, static_cast<std::uint32_t>(ends_.end(s) - start)};
    }
    // Where each slot's entry ends.
    const EntryEnds& entry_ends() const { return ends_; }
    // The latitude and longitude of a slot whose text live_metadata_text gave.
    std::pair<double, double> coordinates(std::uint64_t s) const {
        ORBISK_DCHECK(record_in_file(s));
        const std::uint8_t* rec = coords_.data() + kDataStart + kCoordRecord * s;
        return {load_f64(rec), load_f64(rec + 8)};
    }
    // Asks for the memory of slot s's coordinate record, of its span (where
    // its text lies), or, once that is at hand, of the start of its text: a
    // reader of many scattered records asks ahead. No effect on a slot beyond
    // the store.
    void prefetch_metadata_span(std::uint64_t s) const { ends_.prefetch(s); }
    // The 64-byte line of the metadata file where slot s's text starts (0 when
    // beyond 32 bits), a hint for prefetch_metadata_line.
    std::uint32_t metadata_line(std::uint64_t s) const {
        const std::uint64_t line = ends_.start(s, kDataStart) >> 6;
        return line > UINT32_MAX ? 0 : static_cast<std::uint32_t>(line);
    }
    // Asks for the memory of the metadata file from 64-byte line `line` on,
    // 128 bytes of it (where a text is said to start); no effect for line 0
    // or beyond the file.
    void prefetch_metadata_line(std::uint32_t line) const {
        const std::uint64_t at = std::uint64_t{line} << 6;
        if (line == 0 || at >= meta_.size()) return;
        __builtin_prefetch(meta_.data() + at);
        if (meta_.size() - at > 64) __builtin_prefetch(meta_.data() + at + 64);
    }
    // Asks for the memory of slot s's live bit.
    void prefetch_live(std::uint64_t s) const {
        if (s < live_.size()) __builtin_prefetch(live_.words().data() + (s >> 6));
    }
    void prefetch_coordinates(std::uint64_t s) const {
        if (record_in_file(s)) __builtin_prefetch(coords_.data() + kDataStart + kCoordRecord * s);
    }
    void prefetch_metadata_text(std::uint64_t s) const {
        if (s >= ends_.size()) return;
        const MetaSpan sp = span(s);
        if (sp.offset < meta_.size()) {
            const std::uint8_t* text = meta_.data() + sp.offset;
            __builtin_prefetch(text);
            if (sp.length > 64 && meta_.size() - sp.offset > 64) __builtin_prefetch(text + 64);
        }
    }
    // Bit s set while slot s is live; as long as next_slot.
    const SlotBitmap& live_bitmap() const { return live_; }

    MappedFile& coords() { return coords_; }
    MappedFile& metadata() { return meta_; }
    const MappedFile& coords() const { return coords_; }
    const MappedFile& metadata() const { return meta_; }

private:
    // The slot bookkeeping agrees with itself: one span and one live bit per
    // slot, and every span inside the metadata written so far.
    bool bookkeeping_consistent() const {
        return ends_.size() == next_slot_ && live_.size() == next_slot_ && metadata_end_ >= kDataStart &&
               (ends_.empty() ? metadata_end_ == kDataStart : ends_.back() == metadata_end_);
    }
    // Whether slot s's stored coordinates are those of a point, not a
    // tombstone (another handle of the store may have written it just now).
    bool coords_live(std::uint64_t s) const;
    bool record_in_file(std::uint64_t s) const {
        return coords_.size() >= kCoordsHeader && (coords_.size() - kCoordsHeader) / 16 > s;
    }
    static constexpr std::uint64_t kCoordsHeader = 64;

    MappedFile coords_;
    MappedFile meta_;
    EntryEnds ends_;
    SlotBitmap live_;
    std::uint64_t next_slot_ = 0;
    std::uint64_t live_count_ = 0;
    std::uint64_t metadata_end_ = 64;
};

}  // namespace orbisk
