// String interning for the results of calls: every key is created once for
// the process (up to kMaxSharedKeys of them; keys are few in a store, and a
// small answer would otherwise make and hash its keys anew on every call).
// Short ASCII string values (kinds, codes, names of cities) are kept for the
// process too, those met again lately, in a table of fixed size that
// replaces the older of two entries: a small answer finds its values made
// by the calls before it, and values that come once (names, ids) pass
// through without filling it. Longer or non-ASCII values are interned for
// one call, up to 8192 of them, shared by all its rows.
//
// A lookup is on the row builder's path for every key and every string value
// of every row, so each cache is an open-addressing table of its own: a short
// multiplicative hash of the bytes, linear probing, at most half full. The
// probed table holds only a tag of each hash and the entry's number, eight
// bytes a slot, so that a lookup that finds nothing (a value held by one
// point) stays within a table small enough for the processor's caches; the
// entries and their strings' bytes lie beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_util.hpp"

namespace orbisk::py {

// Equality of short byte runs, without a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    for (; n >= 8; a += 8, b += 8, n -= 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) return false;
    }
    for (; n > 0; ++a, ++b, --n)
        if (*a != *b) return false;
    return true;
}

// Python str objects by their UTF-8 text, holding at most `max_entries` (the
// strings met after that are created each time and not kept).
class StringCache {
public:
    explicit StringCache(std::size_t max_entries);
    ~StringCache();
    StringCache(const StringCache&) = delete;
    StringCache& operator=(const StringCache&) = delete;

    // A new reference to the str with text `s`, or nullptr with a Python
    // exception set.
    PyObject* get(std::string_view s);

private:
    struct Slot {
        std::uint32_t tag = 0;    // high half of the hash
        std::uint32_t entry = 0;  // 1 + the entry's index; 0: empty
    };
    struct Entry {
        PyObject* str;
        std::size_t offset;  // the text in bytes_
        std::size_t length;
    };
    void grow();

    std::vector<Slot> slots_;  // a power of two long
    std::vector<Entry> entries_;
    std::string bytes_;
    std::size_t max_entries_;
};

// The str objects of short ASCII texts met again lately: 2-way
// set-associative, kSets sets of two entries (one cache line), the newer
// entry first. A text is kept from its second meeting on: the first leaves
// only its hash in its set's doorkeeper (the last two such), so that texts
// met once (names, ids) neither push out the values that repeat nor leave
// strings to let go of later. A text kept takes the first entry of its set and moves the one there
// to the second, whose string is let go.
class RecentStrings {
public:
    // Texts of at most this many bytes are kept (the table then holds at most
    // about 1 MB of strings).
    static constexpr std::size_t kMaxBytes = 64;
    static constexpr std::size_t kSets = 4096;

    RecentStrings();
    RecentStrings(const RecentStrings&) = delete;
    RecentStrings& operator=(const RecentStrings&) = delete;

    // A new reference to the str with text `s` (ASCII, at most kMaxBytes), or
    // nullptr with a Python exception set.
    PyObject* get(std::string_view s);

private:
    struct Entry {
        std::uint64_t hash = 0;
        PyObject* str = nullptr;     // a strong reference, or nullptr
        const char* text = nullptr;  // the string's own bytes
        std::size_t length = 0;
    };
    std::vector<Entry> entries_;       // set i is entries_[2i], entries_[2i + 1]
    std::vector<std::uint64_t> seen_;  // per set: the hashes of the last two texts met there and not kept
};

// Used with the interpreter lock held, as every Python object is.
class StringCaches {
public:
    static constexpr std::size_t kMaxValueStrings = 8192;
    static constexpr std::size_t kMaxSharedKeys = 16384;
    StringCaches();
    // New references, or nullptr with a Python exception set.
    PyObject* key(std::string_view s) { return keys_.get(s); }
    PyObject* value(std::string_view s) {
        return s.size() <= RecentStrings::kMaxBytes && is_ascii(s) ? recent_.get(s) : values_.get(s);
    }

private:
    static bool is_ascii(std::string_view s);

    // The process's: never destroyed, as the interpreter may be gone by then.
    StringCache& keys_;
    RecentStrings& recent_;
    StringCache values_;
};

}  // namespace orbisk::py
