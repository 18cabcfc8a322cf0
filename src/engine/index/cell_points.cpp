#include "engine/index/cell_points.hpp"

namespace orbisk {

namespace {

// Orders entries by code alone (a function object, so that the sorts inline it).
struct CodeLess {
    constexpr bool operator()(std::uint64_t a, std::uint64_t b) const { return (a >> 32) < (b >> 32); }
};

// Below this many entries a comparison sort beats the radix passes.
constexpr std::size_t kRadixFrom = 256;
// From this many entries on, the radix passes take 16 bits of the code at a time.
constexpr std::size_t kWideDigitsFrom = 65536;

// Sorts [first, last) by code, keeping the order of equal codes: least
// significant digit of the code first, a pass skipped where every entry has
// the same digit there (a crowd's entries share their high bits).
template <int Bits>
void radix_sort_by_code(std::uint64_t* first, std::uint64_t* last) {
    constexpr std::size_t kDigits = std::size_t{1} << Bits;
    constexpr std::uint64_t kMask = kDigits - 1;
    const std::size_t n = static_cast<std::size_t>(last - first);
    std::vector<std::uint64_t> buffer(n);
    std::vector<std::size_t> counts(kDigits);
    std::uint64_t* from = first;
    std::uint64_t* to = buffer.data();
    for (int shift = 32; shift < 64; shift += Bits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < n; ++i) ++counts[(from[i] >> shift) & kMask];
        if (counts[(from[0] >> shift) & kMask] == n) continue;
        std::size_t offset = 0;
        for (std::size_t& c : counts) {
            const std::size_t k = c;
            c = offset;
            offset += k;
        }
        for (std::size_t i = 0; i < n; ++i) to[counts[(from[i] >> shift) & kMask]++] = from[i];
        std::swap(from, to);
    }
    if (from != first) std::copy(from, from + n, first);
}

void sort_by_code(std::uint64_t* first, std::uint64_t* last) {
    const auto n = static_cast<std::size_t>(last - first);
    if (n >= kWideDigitsFrom)
        radix_sort_by_code<16>(first, last);
    else if (n >= kRadixFrom)
        radix_sort_by_code<8>(first, last);
    else
        std::sort(first, last, CodeLess{});
}

}  // namespace

void CellPoints::pack() {
    const std::size_t n = size();
    if (n <= kTailMax || (sorted_ == n && run_ends_.empty())) return;
    own();
    std::uint64_t* const data = entries_.data();
    sort_by_code(data + sorted_, data + n);
    if (sorted_ > 0) std::inplace_merge(data, data + sorted_, data + n, CodeLess{});
    sorted_ = static_cast<std::uint32_t>(n);
    run_ends_.clear();
}

void CellPoints::seal_tail() {
    const std::size_t n = entries_.size();
    std::uint64_t* const data = entries_.data();
    sort_by_code(data + tail_start(), data + n);
    if (sorted_ == 0 && run_ends_.empty()) {
        sorted_ = static_cast<std::uint32_t>(n);  // the first sorted entries are the main part
        return;
    }
    run_ends_.push_back(static_cast<std::uint32_t>(n));
    if (run_ends_.size() > kMaxRuns) merge_runs();
}

void CellPoints::merge_runs() {
    // The first run is the merged one of earlier rounds; the others are tails
    // sorted since. They are merged into it, and it into the main part once it
    // holds more than an eighth of that.
    const std::size_t n = entries_.size();
    std::uint64_t* const data = entries_.data();
    const std::size_t first_end = run_ends_.front();
    sort_by_code(data + first_end, data + n);
    std::inplace_merge(data + sorted_, data + first_end, data + n, CodeLess{});
    run_ends_.assign(1, static_cast<std::uint32_t>(n));
    if ((n - sorted_) * 8 > sorted_) {
        std::inplace_merge(data, data + sorted_, data + n, CodeLess{});
        sorted_ = static_cast<std::uint32_t>(n);
        run_ends_.clear();
    }
}

std::size_t CellPoints::remove_slot(std::uint32_t slot) {
    return remove_slots(std::span<const std::uint32_t>(&slot, 1));
}

std::size_t CellPoints::remove_slots(std::span<const std::uint32_t> slots) {
    own();
    // Kept entries stay in their part, in order: every part stays sorted.
    const std::size_t n = entries_.size();
    std::size_t kept = 0;
    auto keep_part = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint32_t s = slot_of(entries_[i]);
            const bool gone = slots.size() == 1 ? s == slots[0] : std::binary_search(slots.begin(), slots.end(), s);
            if (!gone) entries_[kept++] = entries_[i];
        }
        return static_cast<std::uint32_t>(kept);
    };
    std::size_t begin = sorted_;
    sorted_ = keep_part(0, sorted_);
    for (std::uint32_t& end : run_ends_) {
        const std::size_t old_end = end;
        end = keep_part(begin, old_end);
        begin = old_end;
    }
    keep_part(begin, n);
    entries_.resize(kept);
    // Emptied runs go; they would only be walked for nothing.
    std::size_t runs = 0;
    std::uint32_t prev = sorted_;
    for (std::uint32_t end : run_ends_) {
        if (end != prev) run_ends_[runs++] = end;
        prev = end;
    }
    run_ends_.resize(runs);
    return n - kept;
}

}  // namespace orbisk
