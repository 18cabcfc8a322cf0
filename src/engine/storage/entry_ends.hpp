// Where each slot's metadata entry ends in the metadata file. Entries lie back
// to back from the start of the data area, so slot s's text is the bytes from
// the end of slot s - 1 (the data area's start for slot 0) to its own end: one
// 64-bit offset a slot says where any entry lies.
//
// The first ends may be a view into a read-only mapping (the open cache,
// open_cache.hpp), kept alive by a shared owner; the slots added after them are
// held here. Taking slots back below the view's end only shortens the view.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/util/debug_check.hpp"

namespace orbisk {

class EntryEnds {
public:
    EntryEnds() = default;
    // `n` ends read in place from `view`, which `owner` keeps mapped.
    EntryEnds(std::shared_ptr<const void> owner, const std::uint64_t* view, std::uint64_t n)
        : owner_(std::move(owner)), view_(view), view_size_(n) {}

    std::uint64_t size() const { return view_size_ + owned_.size(); }
    bool empty() const { return size() == 0; }
    std::uint64_t end(std::uint64_t s) const {
        ORBISK_DCHECK(s < size());
        return s < view_size_ ? view_[s] : owned_[s - view_size_];
    }
    std::uint64_t start(std::uint64_t s, std::uint64_t data_start) const { return s == 0 ? data_start : end(s - 1); }
    std::uint64_t back() const { return end(size() - 1); }
    // Asks for the memory of slot s's start and end (a reader of scattered slots asks ahead).
    void prefetch(std::uint64_t s) const {
        if (s >= size()) return;
        const std::uint64_t* at = s < view_size_ ? view_ + s : owned_.data() + (s - view_size_);
        __builtin_prefetch(at);
        if (s > 0 && s != view_size_) __builtin_prefetch(at - 1);
    }

    void push_back(std::uint64_t end) { owned_.push_back(end); }
    // Room for `n` ends in all, growing by doubling at least.
    void reserve(std::uint64_t n) {
        if (n <= view_size_) return;
        const std::uint64_t want = n - view_size_;
        if (owned_.capacity() < want) owned_.reserve(std::max<std::uint64_t>(want, 2 * owned_.capacity()));
    }
    // Keeps the first n ends (n <= size()).
    void truncate(std::uint64_t n) {
        ORBISK_DCHECK(n <= size());
        if (n <= view_size_) {
            view_size_ = n;
            owned_.clear();
        } else {
            owned_.resize(n - view_size_);
        }
    }
    void clear() {
        owner_.reset();
        view_ = nullptr;
        view_size_ = 0;
        owned_.clear();
    }
    // The ends in the mapping, then those held here.
    std::span<const std::uint64_t> view() const { return {view_, view_size_}; }
    std::span<const std::uint64_t> owned() const { return owned_; }
    // Bytes of memory held outside the mapping.
    std::uint64_t owned_bytes() const { return owned_.capacity() * sizeof(std::uint64_t); }

private:
    std::shared_ptr<const void> owner_;
    const std::uint64_t* view_ = nullptr;
    std::uint64_t view_size_ = 0;
    std::vector<std::uint64_t> owned_;
};

}  // namespace orbisk
