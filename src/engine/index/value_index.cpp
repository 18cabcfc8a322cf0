#include "engine/index/value_index.hpp"

#include <algorithm>
#include <cstring>

namespace orbisk {

bool value_index_may_answer(CompareOp op, const MetadataValue& operand) {
    std::string vk;
    switch (op) {
        case CompareOp::Eq:
        case CompareOp::Ne:
            return value_key(operand, vk);
        case CompareOp::In:
            if (const auto* choices = std::get_if<MetadataArray>(&operand.v)) {
                for (const auto& c : *choices)
                    if (!value_key(c, vk)) return false;
                return true;
            }
            return false;
        case CompareOp::Nin:
            return std::holds_alternative<MetadataArray>(operand.v);
        default:
            return false;
    }
}

void KeyValueBatch::add_from_text(std::uint64_t slot, std::string_view text, std::string_view key, std::uint32_t line) {
    switch (read_value_key(text, key, bytes)) {
        case KeyValueKind::Indexed:
            slots.push_back(slot);
            ends.push_back(bytes.size());
            lines.push_back(line);
            break;
        case KeyValueKind::Array:
            saw_array = true;
            break;
        default:
            break;
    }
}

void KeyValueBatch::add(std::uint64_t slot, const MetadataValue& value) {
    if (std::holds_alternative<MetadataArray>(value.v)) {
        saw_array = true;
        return;
    }
    const std::size_t before = bytes.size();
    if (!append_value_key(value, bytes)) {
        bytes.resize(before);
        return;
    }
    slots.push_back(slot);
    ends.push_back(bytes.size());
    lines.push_back(0);
}

namespace {
// One scratch buffer per thread for encoded value keys: no allocation per lookup.
std::string& scratch() {
    thread_local std::string s;
    return s;
}
}  // namespace

std::uint64_t ValueIndex::budget_bytes() const {
    return std::max(budget_.floor_bytes, budget_.bytes_per_point * universe_);
}

void ValueIndex::begin_key(std::string_view key) {
    if (!declined_.contains(key)) keys_.try_emplace(std::string(key));
}

bool ValueIndex::add_value(KeyEntry& entry, std::uint64_t slot, std::string_view vk, std::uint32_t line) {
    return entry.values.add(slot, vk, KeyValues::hash(vk), line) && entry.values.memory_bytes() <= budget_bytes();
}

void ValueIndex::decline(StringMap<KeyEntry>::iterator it) {
    declined_.emplace(it->first);
    keys_.erase(it);
}

bool ValueIndex::add_batch(std::string_view key, const KeyValueBatch& batch) {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return false;
    KeyEntry& entry = it->second;
    if (batch.saw_array) entry.has_array = true;
    if (!batch.slots.empty()) raise_universe(batch.slots.back() + 1);
    // The hashes first, so that each add finds its table cells asked for a
    // few adds before: in a large table each is a cache miss.
    constexpr std::size_t kAhead = 8;
    std::vector<std::uint64_t> hashes(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) hashes[i] = KeyValues::hash(batch.value_key(i));
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (i + kAhead < batch.size()) entry.values.prefetch(hashes[i + kAhead]);
        if (!entry.values.add(batch.slots[i], batch.value_key(i), hashes[i], batch.lines[i]) ||
            entry.values.memory_bytes() > budget_bytes()) {
            decline(it);
            return false;
        }
    }
    return true;
}

void ValueIndex::expect_distinct(std::string_view key, std::uint64_t read, std::uint64_t slots) {
    const auto it = keys_.find(key);
    if (it == keys_.end() || read == 0) return;
    KeyValues& values = it->second.values;
    const std::uint64_t expected = values.singles() * (slots / read) + values.singles() * (slots % read) / read;
    // Only what the budget would hold anyway; a table too small grows as values come.
    if (expected >= (std::uint64_t{1} << 16) && expected > 2 * values.singles() &&
        values.memory_bytes() + KeyValues::singles_bytes(expected) <= budget_bytes())
        values.reserve_singles(expected);
}

void ValueIndex::add(std::uint64_t slot, const MetadataMap& metadata, std::uint32_t line) {
    raise_universe(slot + 1);
    if (keys_.empty()) return;
    std::string& vk = scratch();
    for (const auto& [key, value] : metadata) {
        const auto it = keys_.find(key);
        if (it == keys_.end()) continue;
        if (std::holds_alternative<MetadataArray>(value.v)) {
            it->second.has_array = true;
            continue;
        }
        if (!value_key(value, vk)) continue;
        if (!add_value(it->second, slot, vk, line)) decline(it);
    }
}

void ValueIndex::remove(std::uint64_t slot, const MetadataMap& metadata) {
    if (keys_.empty()) return;
    std::string& vk = scratch();
    for (const auto& [key, value] : metadata) {
        const auto it = keys_.find(key);
        if (it == keys_.end() || !value_key(value, vk)) continue;
        it->second.values.remove(slot, vk, KeyValues::hash(vk));
    }
}

void ValueIndex::or_equal_into(std::string_view key, const KeyEntry& entry, std::string_view vk,
                               const ValueCheck& check, SlotBitmap& out) const {
    const std::uint64_t hash = KeyValues::hash(vk);
    entry.values.sets().or_into(entry.values.interned_set(vk, hash), out);
    entry.values.for_each_single(hash, [&](std::uint64_t s) {
        if (s < out.size() && check.holds(s, key, vk)) out.set(s);
    });
}

std::optional<SlotBitmap> ValueIndex::answer(std::string_view key, CompareOp op, const MetadataValue& operand,
                                             const ValueCheck& check) const {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return std::nullopt;
    const KeyEntry& entry = it->second;
    std::string& vk = scratch();
    switch (op) {
        case CompareOp::Eq:
        case CompareOp::Ne: {
            if (!value_key(operand, vk)) return std::nullopt;
            SlotBitmap out(universe_);
            or_equal_into(key, entry, vk, check, out);
            if (op == CompareOp::Ne) out.invert();
            return out;
        }
        case CompareOp::In:
        case CompareOp::Nin: {
            if (entry.has_array) return std::nullopt;
            const auto* choices = std::get_if<MetadataArray>(&operand.v);
            if (!choices) return std::nullopt;
            SlotBitmap out(universe_);
            for (const auto& c : *choices) {
                if (!value_key(c, vk)) {
                    if (op == CompareOp::In) return std::nullopt;
                    continue;  // for Nin the evaluation tests the candidates again
                }
                or_equal_into(key, entry, vk, check, out);
            }
            if (op == CompareOp::Nin) out.invert();
            return out;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<std::uint64_t>> ValueIndex::equal_slots(std::string_view key, const MetadataValue& operand,
                                                                  std::uint64_t max, const ValueCheck& check) const {
    const auto it = keys_.find(key);
    std::string& vk = scratch();
    if (it == keys_.end() || !value_key(operand, vk)) return std::nullopt;
    const KeyValues& values = it->second.values;
    const std::uint64_t hash = KeyValues::hash(vk);
    std::vector<std::uint64_t> out;
    values.sets().list_first(values.interned_set(vk, hash), max, out);
    // Confirmed singles (seldom more than one) go in at their place.
    values.for_each_single(hash, [&](std::uint64_t s) {
        if (!check.holds(s, key, vk)) return;
        const auto at = std::lower_bound(out.begin(), out.end(), s);
        if (at == out.end() || *at != s) out.insert(at, s);
    });
    if (out.size() > max) out.resize(max);
    return out;
}

bool ValueIndex::single_candidates(std::string_view key, std::string_view vk, SingleCandidates& out) const {
    out.size = 0;
    const auto it = keys_.find(key);
    if (it == keys_.end()) return false;
    const KeyValues& values = it->second.values;
    const std::uint64_t hash = KeyValues::hash(vk);
    bool fits = true;
    // The whole run of cells is walked before any record is asked for: its
    // cells share a cache line or two, the records lie far apart.
    values.for_each_single_with_line(hash, [&](std::uint64_t s, std::uint32_t line) {
        if (out.size == SingleCandidates::kMax) {
            fits = false;
            return;
        }
        out.lines[out.size] = line;
        out.slots[out.size++] = s;
    });
    return fits && !values.is_interned(vk, hash);
}

std::size_t ValueIndex::key_memory_bytes(std::string_view key) const {
    const auto it = keys_.find(key);
    return it == keys_.end() ? 0 : it->second.values.memory_bytes();
}

std::size_t ValueIndex::memory_bytes() const {
    std::size_t n = 0;
    for (const auto& [key, entry] : keys_) n += key.capacity() + sizeof(entry) + entry.values.memory_bytes();
    return n;
}

}  // namespace orbisk
