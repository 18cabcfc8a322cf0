#include "python/string_caches.hpp"

#include <algorithm>
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

// A slot numbers its entry in 32 bits.
constexpr std::size_t kMostEntries = 0xFFFFFFFEu;

StringCache::StringCache(std::size_t max_entries) : max_entries_(std::min(max_entries, kMostEntries)) {}

StringCache::~StringCache() {
    for (const Entry& e : entries_) Py_DECREF(e.str);
}

void StringCache::grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t n = 0; n < entries_.size(); ++n) {
        const Entry& e = entries_[n];
        const std::uint64_t h = hash_text(std::string_view(bytes_).substr(e.offset, e.length));
        std::size_t i = h & mask;
        while (slots_[i].entry) i = (i + 1) & mask;
        slots_[i] = Slot{static_cast<std::uint32_t>(h >> 32), static_cast<std::uint32_t>(n + 1)};
    }
}

PyObject* StringCache::get(std::string_view s) {
    if (slots_.empty()) slots_.resize(kFirstSlots);  // on first use: most calls' rows hold few strings
    const std::uint64_t h = hash_text(s);
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (; slots_[i].entry; i = (i + 1) & mask) {
        if (slots_[i].tag != tag) continue;
        const Entry& e = entries_[slots_[i].entry - 1];
        if (e.length == s.size() && std::memcmp(bytes_.data() + e.offset, s.data(), s.size()) == 0)
            return Py_NewRef(e.str);
    }
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (!str || entries_.size() >= max_entries_) return str;
    if (entries_.empty()) entries_.reserve(kFirstSlots / 2);
    entries_.push_back(Entry{Py_NewRef(str), bytes_.size(), s.size()});
    slots_[i] = Slot{tag, static_cast<std::uint32_t>(entries_.size())};
    bytes_.append(s);
    if (entries_.size() * 2 > slots_.size()) grow();
    return str;
}

RecentStrings::RecentStrings() : entries_(2 * kSets), seen_(2 * kSets, 0) {}

PyObject* RecentStrings::get(std::string_view s) {
    const std::uint64_t h = hash_text(s);
    const std::size_t at = h & (kSets - 1);
    Entry* set = &entries_[2 * at];
    // A text met for the first time (a name, an id) is looked for in its set,
    // then in its doorkeeper: both are asked for at once.
    __builtin_prefetch(&seen_[2 * at]);
    for (Entry* e = set; e != set + 2; ++e)
        if (e->hash == h && e->str && e->length == s.size() && same_bytes(e->text, s.data(), s.size()))
            return Py_NewRef(e->str);
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (!str) return nullptr;
    std::uint64_t* seen = &seen_[2 * at];
    if (seen[0] != h && seen[1] != h) {
        seen[1] = seen[0];
        seen[0] = h;
        return str;
    }
    // An ASCII str holds its text as UTF-8 already: no copy is made.
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &length);
    if (!text) {
        PyErr_Clear();
        return str;
    }
    (seen[0] == h ? seen[0] : seen[1]) = 0;
    Py_XDECREF(set[1].str);
    set[1] = set[0];
    set[0] = Entry{h, Py_NewRef(str), text, static_cast<std::size_t>(length)};
    return str;
}

bool StringCaches::is_ascii(std::string_view s) {
    std::uint64_t bits = 0;
    const char* p = s.data();
    std::size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) bits |= load8(p);
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080ULL) == 0;
}

namespace {

StringCache& shared_keys() {
    static StringCache* const keys = new StringCache(StringCaches::kMaxSharedKeys);
    return *keys;
}

RecentStrings& shared_values() {
    static RecentStrings* const values = new RecentStrings();
    return *values;
}

}  // namespace

StringCaches::StringCaches() : keys_(shared_keys()), recent_(shared_values()), values_(kMaxValueStrings) {}

}  // namespace orbisk::py
