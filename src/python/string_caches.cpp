#include "python/string_caches.hpp"

#include <cstring>
#include <limits>

namespace orbisk::py {

namespace {

std::uint64_t load8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
std::uint64_t load4(const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t w) {
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 31);
}

// A quick hash of short texts: eight bytes at a time, the tail as two
// overlapping loads (or its first, middle and last byte).
std::uint64_t hash_text(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
    for (; n >= 8; p += 8, n -= 8) h = mix(h, load8(p));
    if (n >= 4) {
        h = mix(h, load4(p) | (load4(p + n - 4) << 32));
    } else if (n > 0) {
        const auto b = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
        h = mix(h, b(0) | (b(n / 2) << 8) | (b(n - 1) << 16));
    }
    return mix(h, 0x94D049BB133111EBULL);
}

constexpr std::size_t kFirstSlots = 16;

}  // namespace

StringCache::StringCache(std::size_t max_entries) : slots_(kFirstSlots), max_entries_(max_entries) {}

StringCache::~StringCache() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.str);
}

void StringCache::grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (!slot.str) continue;
        std::size_t i = slot.hash & mask;
        while (slots_[i].str) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

PyObject* StringCache::get(std::string_view s) {
    const std::uint64_t h = hash_text(s);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (; slots_[i].str; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.hash == h && slot.length == s.size() &&
            std::memcmp(bytes_.data() + slot.offset, s.data(), s.size()) == 0)
            return Py_NewRef(slot.str);
    }
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (!str || count_ >= max_entries_) return str;
    slots_[i] = Slot{Py_NewRef(str), h, bytes_.size(), s.size()};
    bytes_.append(s);
    if (++count_ * 2 > slots_.size()) grow();
    return str;
}

StringCaches::StringCaches() : keys_(std::numeric_limits<std::size_t>::max()), values_(kMaxValueStrings) {}

}  // namespace orbisk::py
