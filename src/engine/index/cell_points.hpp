// CellPoints: the slot ids of one grid cell, each with its position code in
// the cell (cell_code.hpp), kept so that a crowded cell is cheap to search.
//
// One flat array of entries, (code << 32) | slot, in three parts: the main
// part, sorted by code; a few sorted runs of the entries added since; and a
// tail of the latest entries in the order they came. A search walks each
// sorted part as an implicit quadtree, halving it by binary search, and reads
// only what overlaps the box's lattice rectangle; the tail is read whole.
//
// A tail longer than kTailMax is sorted into a run; more than kMaxRuns runs
// are merged into one, and runs holding more than an eighth of the main part
// are merged into it. So a cell of at most kTailMax entries is never sorted,
// a search reads at most kTailMax entries unsorted, and a single insert moves
// a few dozen entries on average however crowded its cell is.
//
// The entries hold no pointers, and the parts' bounds are offsets: a cell's
// array can be written out and mapped back as it is. A cell read from a
// mapping (the open cache) searches the mapped entries in place and copies
// them into memory of its own on its first change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/cell_code.hpp"

namespace orbisk {

class CellPoints {
public:
    // Longest unsorted tail; a cell of at most this many entries is never sorted.
    static constexpr std::size_t kTailMax = 256;
    // Most sorted runs beside the main part.
    static constexpr std::size_t kMaxRuns = 8;
    // Runs of at most this many entries are read entry by entry rather than split.
    static constexpr std::size_t kLeafRun = 16;

    static constexpr std::uint64_t entry(std::uint32_t code, std::uint32_t slot) {
        return (std::uint64_t{code} << 32) | slot;
    }
    static constexpr std::uint32_t code_of(std::uint64_t e) { return static_cast<std::uint32_t>(e >> 32); }
    static constexpr std::uint32_t slot_of(std::uint64_t e) { return static_cast<std::uint32_t>(e); }

    CellPoints() = default;
    // A cell whose `n` entries lie in a mapping, the first `sorted` of them
    // the sorted main part and the rest the tail (no runs).
    static CellPoints mapped(const std::uint64_t* entries, std::size_t n, std::uint32_t sorted) {
        CellPoints c;
        c.view_ = entries;
        c.view_size_ = n;
        c.sorted_ = sorted;
        return c;
    }

    std::size_t size() const { return view_ ? view_size_ : entries_.size(); }
    bool empty() const { return size() == 0; }
    // Bytes of memory of its own (mapped entries not counted).
    std::size_t memory_bytes() const {
        return entries_.capacity() * sizeof(std::uint64_t) + run_ends_.capacity() * sizeof(std::uint32_t);
    }
    // The entries in order, the size of the main part, and the ends of the runs after it.
    std::span<const std::uint64_t> entries() const { return {data(), size()}; }
    std::uint32_t sorted_count() const { return sorted_; }
    std::span<const std::uint32_t> run_ends() const { return run_ends_; }

    // Appends one entry; sorts the tail into a run when it is long.
    void add(std::uint32_t code, std::uint32_t slot) {
        own();
        entries_.push_back(entry(code, slot));
        if (entries_.size() - tail_start() > kTailMax) seal_tail();
    }
    // For a build: the entries' room, then the entries (unsorted), then pack().
    void reserve(std::size_t n) {
        own();
        entries_.reserve(n);
    }
    void push(std::uint32_t code, std::uint32_t slot) {
        own();
        entries_.push_back(entry(code, slot));
    }
    // Sorts every entry into the main part when there are more than kTailMax
    // (fewer are left as they are).
    void pack();

    // Removes every entry of `slot`, whatever its code; returns how many there were.
    std::size_t remove_slot(std::uint32_t slot);
    // Removes every entry whose slot is in `slots` (ascending); returns how many there were.
    std::size_t remove_slots(std::span<const std::uint32_t> slots);

    // Calls sink.run(first, last) for runs of entries whose codes all lie in
    // `rect`, and sink.one(e) for single entries found in it: every entry in
    // the rectangle, each once, and no other.
    template <class Sink>
    void search(const CodeRect& rect, Sink& sink) const {
        const std::size_t n = size();
        if (rect.empty() || n == 0) return;
        const std::uint64_t* const data = this->data();
        if (rect.whole()) {
            sink.run(data, data + n);
            return;
        }
        walk(data, data + sorted_, 0, 0, 16, rect, sink);
        std::size_t begin = sorted_;
        for (std::uint32_t end : run_ends_) {
            walk(data + begin, data + end, 0, 0, 16, rect, sink);
            begin = end;
        }
        scan(data + begin, data + n, rect, sink);
    }

    // Calls part(first, last) for the main part and each sorted run: each is
    // ordered by code, so it is the whole cell's lattice square at level 16.
    template <class F>
    void for_each_sorted_part(F part) const {
        const std::uint64_t* const data = this->data();
        if (sorted_ > 0) part(data, data + sorted_);
        std::size_t begin = sorted_;
        for (std::uint32_t end : run_ends_) {
            part(data + begin, data + end);
            begin = end;
        }
    }
    // The entries added since the last sort, in the order they came.
    std::span<const std::uint64_t> tail() const {
        return std::span<const std::uint64_t>(data() + tail_start(), size() - tail_start());
    }

    // Splits the sorted run [first, last), the entries of the lattice square of
    // side 2^level (level > 0) at (x, y), into its four quarters in code order:
    // (x, y), (x + h, y), (x, y + h), (x + h, y + h) with h = 2^(level - 1).
    // Quarter i is [bounds[i], bounds[i + 1]).
    static void quarters(const std::uint64_t* first, const std::uint64_t* last, std::uint32_t x, std::uint32_t y,
                         int level, const std::uint64_t* bounds[5]) {
        const std::uint64_t base = cell_code(x, y);
        const std::uint64_t quarter = std::uint64_t{1} << (2 * (level - 1));
        bounds[0] = first;
        bounds[1] = std::lower_bound(first, last, (base + quarter) << 32);
        bounds[2] = std::lower_bound(bounds[1], last, (base + 2 * quarter) << 32);
        bounds[3] = std::lower_bound(bounds[2], last, (base + 3 * quarter) << 32);
        bounds[4] = last;
    }

private:
    const std::uint64_t* data() const { return view_ ? view_ : entries_.data(); }
    // Copies mapped entries into memory of its own, before a change.
    void own() {
        if (!view_) return;
        entries_.assign(view_, view_ + view_size_);
        view_ = nullptr;
        view_size_ = 0;
    }
    std::size_t tail_start() const { return run_ends_.empty() ? sorted_ : run_ends_.back(); }
    void seal_tail();
    void merge_runs();

    template <class Sink>
    static void scan(const std::uint64_t* first, const std::uint64_t* last, const CodeRect& rect, Sink& sink) {
        for (; first != last; ++first)
            if (rect.contains(code_of(*first))) sink.one(*first);
    }

    // The sorted run [first, last) holds exactly the entries of the lattice
    // square of side 2^level at (x, y).
    template <class Sink>
    static void walk(const std::uint64_t* first, const std::uint64_t* last, std::uint32_t x, std::uint32_t y, int level,
                     const CodeRect& rect, Sink& sink) {
        if (first == last) return;
        const std::uint32_t far = (std::uint32_t{1} << level) - 1;
        if (x + far < rect.x0 || x > rect.x1 || y + far < rect.y0 || y > rect.y1) return;
        if (rect.x0 <= x && x + far <= rect.x1 && rect.y0 <= y && y + far <= rect.y1) {
            sink.run(first, last);
            return;
        }
        if (static_cast<std::size_t>(last - first) <= kLeafRun || level == 0) {
            scan(first, last, rect, sink);
            return;
        }
        const std::uint32_t h = std::uint32_t{1} << (level - 1);
        const std::uint64_t* b[5];
        quarters(first, last, x, y, level, b);
        walk(b[0], b[1], x, y, level - 1, rect, sink);
        walk(b[1], b[2], x + h, y, level - 1, rect, sink);
        walk(b[2], b[3], x, y + h, level - 1, rect, sink);
        walk(b[3], b[4], x + h, y + h, level - 1, rect, sink);
    }

    std::vector<std::uint64_t> entries_;
    std::uint32_t sorted_ = 0;             // the main part is [0, sorted_)
    std::vector<std::uint32_t> run_ends_;  // run i is [end of run i - 1 (or sorted_), run_ends_[i])
    const std::uint64_t* view_ = nullptr;  // the entries, while they are a mapping's
    std::size_t view_size_ = 0;
};

}  // namespace orbisk
