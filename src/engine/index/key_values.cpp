#include "engine/index/key_values.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <functional>

namespace orbisk {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};
constexpr std::uint64_t kHeaderWords = 3;  // handle (two words) and length
constexpr std::uint64_t kArenaWords = std::uint64_t{1} << 32;

}  // namespace

#ifdef ORBISK_FAULT_INJECTION
namespace {
std::atomic<int> narrowed_bits{0};
}  // namespace

void KeyValues::narrow_hashes_for_tests(int bits) { narrowed_bits.store(bits, std::memory_order_relaxed); }
#endif

std::uint64_t KeyValues::hash(std::string_view value_key) {
    const std::uint64_t h = std::hash<std::string_view>{}(value_key);
#ifdef ORBISK_FAULT_INJECTION
    if (const int bits = narrowed_bits.load(std::memory_order_relaxed); bits > 0 && bits < 64)
        return h & ~(~std::uint64_t{0} >> bits);
#endif
    return h;
}

std::uint32_t KeyValues::hash32(std::uint64_t hash) {
    const auto h = static_cast<std::uint32_t>(hash >> 32);
    return h ? h : 1;  // a cell of 0 is empty
}

std::uint64_t KeyValues::Table::cells_for(std::uint64_t n) {
    std::uint64_t size = 8;
    while (n * 5 > size * 4) size *= 2;
    return size;
}

bool KeyValues::Table::reserve(std::uint64_t n) {
    if (n * 5 <= cells.size() * 4) return true;
    const std::uint64_t size = std::max<std::uint64_t>(cells_for(n), cells.size() * 2);
    if (size > (std::uint64_t{1} << 32)) return false;  // a home has 32 bits
    auto old = std::move(cells);
    auto old_lines = std::move(lines);
    cells.assign(size, 0);
    if (keeps_lines) lines.assign(size, 0);
    shift = 32 - std::countr_zero(size);
    used = 0;
    for (std::size_t i = 0; i < old.size(); ++i)
        if (old[i]) insert(old[i], keeps_lines ? old_lines[i] : 0);
    return true;
}

void KeyValues::Table::insert(std::uint64_t cell, std::uint32_t line) {
    std::uint64_t i = home(static_cast<std::uint32_t>(cell >> 32));
    while (cells[i]) i = (i + 1) & mask();
    cells[i] = cell;
    if (keeps_lines) lines[i] = line;
    ++used;
}

void KeyValues::Table::erase(std::uint64_t i) {
    --used;
    for (;;) {
        cells[i] = 0;
        // Move back the first later cell of the run that may sit at i: one
        // whose home is not cyclically within (i, j].
        std::uint64_t j = i;
        for (;;) {
            j = (j + 1) & mask();
            if (!cells[j]) return;
            const std::uint64_t k = home(static_cast<std::uint32_t>(cells[j] >> 32));
            const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
            if (stays) continue;
            cells[i] = cells[j];
            if (keeps_lines) lines[i] = lines[j];
            i = j;
            break;
        }
    }
}

SlotSets::Handle KeyValues::handle_at(std::uint64_t word) const {
    return static_cast<SlotSets::Handle>(arena_[word]) | (static_cast<SlotSets::Handle>(arena_[word + 1]) << 32);
}

void KeyValues::set_handle_at(std::uint64_t word, SlotSets::Handle h) {
    arena_[word] = static_cast<std::uint32_t>(h);
    arena_[word + 1] = static_cast<std::uint32_t>(h >> 32);
}

std::uint64_t KeyValues::find_interned(std::string_view value_key, std::uint32_t h32) const {
    if (!interned_.used) return kNone;
    for (std::uint64_t i = interned_.home(h32); interned_.cells[i]; i = (i + 1) & interned_.mask()) {
        const std::uint64_t c = interned_.cells[i];
        if (static_cast<std::uint32_t>(c >> 32) != h32) continue;
        const std::uint64_t w = static_cast<std::uint32_t>(c);
        if (arena_[w + 2] == value_key.size() &&
            std::memcmp(arena_.data() + w + kHeaderWords, value_key.data(), value_key.size()) == 0)
            return w;
    }
    return kNone;
}

bool KeyValues::add(std::uint64_t slot, std::string_view value_key, std::uint64_t hash, std::uint32_t line) {
    const std::uint32_t h32 = hash32(hash);
    if (const std::uint64_t w = find_interned(value_key, h32); w != kNone) {
        SlotSets::Handle h = handle_at(w);
        if (sets_.add(h, slot)) set_handle_at(w, h);
        return true;
    }
    bool hash_taken = false;
    if (singles_.used) {
        for (std::uint64_t i = singles_.home(h32); singles_.cells[i]; i = (i + 1) & singles_.mask()) {
            const std::uint64_t c = singles_.cells[i];
            if (static_cast<std::uint32_t>(c >> 32) != h32) continue;
            if (static_cast<std::uint32_t>(c) == slot && slot <= UINT32_MAX) return true;  // added before
            hash_taken = true;
        }
    }
    if (!hash_taken && slot <= UINT32_MAX) {
        if (!singles_.reserve_one()) return false;
        singles_.insert((std::uint64_t{h32} << 32) | slot, line);
        return true;
    }
    const std::uint64_t words = kHeaderWords + (value_key.size() + 3) / 4;
    const std::uint64_t w = arena_.size();
    if (w + words > kArenaWords || !interned_.reserve_one()) return false;
    arena_.resize(w + words, 0);
    SlotSets::Handle h = SlotSets::kEmpty;
    sets_.add(h, slot);
    set_handle_at(w, h);
    arena_[w + 2] = static_cast<std::uint32_t>(value_key.size());
    std::memcpy(arena_.data() + w + kHeaderWords, value_key.data(), value_key.size());
    interned_.insert((std::uint64_t{h32} << 32) | w);
    return true;
}

void KeyValues::remove(std::uint64_t slot, std::string_view value_key, std::uint64_t hash) {
    const std::uint32_t h32 = hash32(hash);
    if (const std::uint64_t w = find_interned(value_key, h32); w != kNone) {
        SlotSets::Handle h = handle_at(w);
        if (sets_.remove(h, slot)) set_handle_at(w, h);
    }
    // A slot added twice (by a build and by the insert that stored it) may be
    // both interned and a single.
    if (!singles_.used || slot > UINT32_MAX) return;
    const std::uint64_t cell = (std::uint64_t{h32} << 32) | slot;
    for (std::uint64_t i = singles_.home(h32); singles_.cells[i]; i = (i + 1) & singles_.mask()) {
        if (singles_.cells[i] == cell) {
            singles_.erase(i);
            return;
        }
    }
}

SlotSets::Handle KeyValues::interned_set(std::string_view value_key, std::uint64_t hash) const {
    const std::uint64_t w = find_interned(value_key, hash32(hash));
    return w == kNone ? SlotSets::kEmpty : handle_at(w);
}

bool KeyValues::is_interned(std::string_view value_key, std::uint64_t hash) const {
    return find_interned(value_key, hash32(hash)) != kNone;
}

std::size_t KeyValues::memory_bytes() const {
    return (singles_.cells.capacity() + interned_.cells.capacity()) * sizeof(std::uint64_t) +
           (singles_.lines.capacity() + interned_.lines.capacity()) * sizeof(std::uint32_t) +
           arena_.capacity() * sizeof(std::uint32_t) + sets_.memory_bytes();
}

}  // namespace orbisk
