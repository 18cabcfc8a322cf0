// MetadataMap: one point's top-level metadata, a small vector of entries with a
// hash index once it grows. The text it is written as and read from lives in
// json_writer.cpp and json_reader.cpp.
#include "engine/metadata/metadata.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <tuple>
#include <utility>

namespace orbisk {

// ---------------------------------------------------------------------------
// MetadataMap
// ---------------------------------------------------------------------------

namespace {
// Up to this many entries a linear scan (length first, then bytes) beats hashing.
constexpr std::size_t kLinearLookupLimit = 16;

std::uint64_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }
}  // namespace

// Open addressing with linear probing over the entry positions. Each slot holds
// the upper 32 bits of the key's hash (to skip most key comparisons) and the
// entry position + 1; 0 marks an empty slot. The table is kept at most half full.
struct MetadataMap::HashIndex {
    std::vector<std::uint64_t> slots;
    std::size_t mask = 0;

    static std::uint64_t tag_of(std::uint64_t h) { return h & 0xFFFF'FFFF'0000'0000ULL; }

    void rebuild(const std::vector<Entry>& entries) {
        const std::size_t cap = std::bit_ceil(std::max<std::size_t>(64, entries.size() * 4));
        slots.assign(cap, 0);
        mask = cap - 1;
        for (std::size_t i = 0; i < entries.size(); ++i) place(hash_key(entries[i].first), i);
    }

    void place(std::uint64_t h, std::size_t pos) {
        std::size_t s = h & mask;
        while (slots[s] != 0) s = (s + 1) & mask;
        slots[s] = tag_of(h) | (static_cast<std::uint64_t>(pos) + 1);
    }

    // Position of `key` in `entries`, or -1.
    std::ptrdiff_t locate(const std::vector<Entry>& entries, std::string_view key, std::uint64_t h) const {
        const std::uint64_t tag = tag_of(h);
        for (std::size_t s = h & mask;; s = (s + 1) & mask) {
            const std::uint64_t slot = slots[s];
            if (slot == 0) return -1;
            if ((slot & 0xFFFF'FFFF'0000'0000ULL) == tag) {
                const std::size_t pos = (slot & 0xFFFF'FFFFULL) - 1;
                if (entries[pos].first == key) return static_cast<std::ptrdiff_t>(pos);
            }
        }
    }
};

MetadataMap::MetadataMap() = default;
MetadataMap::MetadataMap(const MetadataMap& o)
    : entries_(o.entries_), index_(o.index_ ? std::make_unique<HashIndex>(*o.index_) : nullptr) {}
MetadataMap::MetadataMap(MetadataMap&&) noexcept = default;
MetadataMap& MetadataMap::operator=(const MetadataMap& o) {
    if (this != &o) {
        MetadataMap copy(o);
        *this = std::move(copy);
    }
    return *this;
}
MetadataMap& MetadataMap::operator=(MetadataMap&&) noexcept = default;
MetadataMap::~MetadataMap() = default;

const MetadataValue* MetadataMap::find(std::string_view key) const {
    if (index_) {
        const std::ptrdiff_t pos = index_->locate(entries_, key, hash_key(key));
        return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].second;
    }
    for (const Entry& e : entries_) {
        if (e.first.size() == key.size() && std::memcmp(e.first.data(), key.data(), key.size()) == 0) return &e.second;
    }
    return nullptr;
}

MetadataValue& MetadataMap::value_slot(std::string&& key) {
    if (index_) {
        const std::uint64_t h = hash_key(key);
        const std::ptrdiff_t pos = index_->locate(entries_, key, h);
        if (pos >= 0) return entries_[static_cast<std::size_t>(pos)].second;
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(key)), std::forward_as_tuple());
        if (entries_.size() * 2 > index_->slots.size())
            index_->rebuild(entries_);
        else
            index_->place(h, entries_.size() - 1);
        return entries_.back().second;
    }
    for (Entry& e : entries_) {
        if (e.first == key) return e.second;
    }
    entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(key)), std::forward_as_tuple());
    if (entries_.size() > kLinearLookupLimit) {
        index_ = std::make_unique<HashIndex>();
        index_->rebuild(entries_);
    }
    return entries_.back().second;
}

void MetadataMap::insert_or_assign(std::string key, MetadataValue value) {
    value_slot(std::move(key)) = std::move(value);
}

bool operator==(const MetadataMap& a, const MetadataMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const MetadataValue* other = b.find(key);
        if (!other || !(*other == value)) return false;
    }
    return true;
}

}  // namespace orbisk
