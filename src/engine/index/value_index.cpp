#include "engine/index/value_index.hpp"

#include <cstring>

namespace orbisk {

bool value_key(const MetadataValue& v, std::string& out) {
    out.clear();
    if (v.is_null()) {
        out += 'n';
    } else if (const auto* b = std::get_if<bool>(&v.v)) {
        out += *b ? 't' : 'f';
    } else if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
        if (*u > static_cast<std::uint64_t>(INT64_MAX)) return false;
        out += 'i';
        out.append(reinterpret_cast<const char*>(u), sizeof *u);
    } else if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
        // Same bytes as the non-negative integers use: one signed 64-bit key space.
        out += 'i';
        out.append(reinterpret_cast<const char*>(i), sizeof *i);
    } else if (const auto* s = std::get_if<std::string>(&v.v)) {
        out += 's';
        out += *s;
    } else {
        return false;
    }
    return true;
}

namespace {
// One scratch buffer per thread for encoded value keys: no allocation per lookup.
std::string& scratch() {
    thread_local std::string s;
    return s;
}
}  // namespace

void ValueIndex::add(std::uint64_t slot, const MetadataMap& metadata) {
    if (slot >= universe_) universe_ = slot + 1;
    std::string& vk = scratch();
    for (const auto& [key, value] : metadata) {
        const auto dc = distinct_.find(key);
        if (dc != distinct_.end() && dc->second > kDistinctLimit) continue;
        const bool is_array = std::holds_alternative<MetadataArray>(value.v);
        if (!is_array && !value_key(value, vk)) continue;
        auto entry_it = keys_.find(key);
        if (entry_it == keys_.end()) entry_it = keys_.try_emplace(key, KeyEntry{{}, universe_}).first;
        KeyEntry& entry = entry_it->second;
        if (slot >= entry.length) entry.length = slot + 1;
        if (is_array) {
            if (!array_keys_.contains(key)) array_keys_.emplace(key);
            continue;
        }
        if (auto v = entry.values.find(vk); v != entry.values.end()) {
            v->second.set(slot);
            continue;
        }
        std::uint64_t& count = dc != distinct_.end() ? dc->second : distinct_.try_emplace(key, 0).first->second;
        if (++count > kDistinctLimit) {
            keys_.erase(entry_it);  // not indexed again until the index is reset
            continue;
        }
        entry.values.try_emplace(vk).first->second.set(slot);
    }
}

SlotBitmap ValueIndex::equal_bitmap(const KeyEntry& entry, std::string_view vk, std::uint64_t length) const {
    if (auto v = entry.values.find(vk); v != entry.values.end()) return v->second.to_slot_bitmap(length);
    return SlotBitmap(length);
}

std::optional<SlotBitmap> ValueIndex::answer(std::string_view key, CompareOp op, const MetadataValue& operand) const {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return std::nullopt;
    const KeyEntry& entry = it->second;
    std::string& vk = scratch();
    switch (op) {
        case CompareOp::Eq:
            if (!value_key(operand, vk)) return std::nullopt;
            return equal_bitmap(entry, vk, entry.length);
        case CompareOp::Ne: {
            if (!value_key(operand, vk)) return std::nullopt;
            SlotBitmap out = equal_bitmap(entry, vk, universe_);
            out.invert();
            return out;
        }
        case CompareOp::In:
        case CompareOp::Nin: {
            if (array_keys_.contains(key)) return std::nullopt;
            const auto* choices = std::get_if<MetadataArray>(&operand.v);
            if (!choices) return std::nullopt;
            SlotBitmap out(universe_);
            for (const auto& c : *choices) {
                if (!value_key(c, vk)) {
                    if (op == CompareOp::In) return std::nullopt;
                    continue;  // for Nin the evaluation tests the candidates again
                }
                if (auto v = entry.values.find(vk); v != entry.values.end()) v->second.or_into(out);
            }
            if (op == CompareOp::Nin) out.invert();
            return out;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<std::uint64_t>> ValueIndex::equal_slots(std::string_view key, const MetadataValue& operand,
                                                                  std::uint64_t max) const {
    const auto it = keys_.find(key);
    std::string& vk = scratch();
    if (it == keys_.end() || !value_key(operand, vk)) return std::nullopt;
    std::vector<std::uint64_t> out;
    if (auto v = it->second.values.find(vk); v != it->second.values.end()) v->second.list_first(max, out);
    return out;
}

void ValueIndex::remove(std::uint64_t slot, const MetadataMap& metadata) {
    if (keys_.empty()) return;
    std::string& vk = scratch();
    for (const auto& [key, value] : metadata) {
        if (!value_key(value, vk)) continue;
        const auto it = keys_.find(key);
        if (it == keys_.end()) continue;
        if (auto v = it->second.values.find(vk); v != it->second.values.end()) v->second.clear(slot);
    }
}

std::size_t ValueIndex::memory_bytes() const {
    std::size_t n = 0;
    for (const auto& [key, entry] : keys_) {
        n += key.capacity() + sizeof(entry);
        for (const auto& [vk, bits] : entry.values) n += vk.capacity() + sizeof(bits) + bits.memory_bytes();
    }
    return n;
}

}  // namespace orbisk
