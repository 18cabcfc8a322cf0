// KeyValues: the values one metadata key holds and the slots holding each,
// for the value index. Built for keys of any number of distinct values:
//
//   - A value held by one point (the common case of names, ids and codes) is
//     one 8-byte cell of the singles table: 32 bits of the value's hash and
//     the slot. Its text is not kept: the record of the slot holds it, and an
//     answer confirms such a slot by reading its record (see ValueIndex).
//     Beside each cell, 4 bytes say where that record's text starts in the
//     metadata file, when the adder knew it: a lookup asks for the text
//     together with the rest of the record, instead of after its span.
//   - A value held by more points, or met again while a single with its hash
//     is there, is interned: its encoded value key is kept once in an arena,
//     with the handle of its slot set (SlotSets), and found through the
//     shared table by hash and text.
//
// Both tables are open-addressed with linear probing, at most 80 % full, each
// cell the value's 32 hash bits above 32 bits of payload (a slot, or an arena
// offset), so probing compares hashes in the cells and touches the arena only
// for a full 32-bit match. A value key is added to the interned ones instead
// of becoming a single when some single shares its 32 hash bits: without the
// single's text the two cannot be told apart, so both are kept, and an answer
// asks the record of the single.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/index/slot_sets.hpp"
#include "engine/util/huge_page_allocator.hpp"

namespace orbisk {

class KeyValues {
public:
    // Hash of an encoded value key, as both tables use it.
    static std::uint64_t hash(std::string_view value_key);
#ifdef ORBISK_FAULT_INJECTION
    // Test builds only: hashes keep their `bits` highest bits, the rest zero
    // (0 keeps them whole), so that a test meets as many values sharing their
    // hash bits as it likes. Set while no index is kept.
    static void narrow_hashes_for_tests(int bits);
#endif

    // Adds `slot` under the value key (with its hash), with the 64-byte line of
    // the metadata file where the slot's text starts (0: not known; a hint
    // only). False when a table or the arena cannot address another value
    // (the key is then beyond any budget).
    bool add(std::uint64_t slot, std::string_view value_key, std::uint64_t hash, std::uint32_t line = 0);
    // Asks for the table cells a value with `hash` starts at, ahead of its add.
    void prefetch(std::uint64_t hash) const {
        const std::uint32_t h32 = hash32(hash);
        if (!singles_.cells.empty()) {
            __builtin_prefetch(&singles_.cells[singles_.home(h32)]);
            __builtin_prefetch(&singles_.lines[singles_.home(h32)]);
        }
        if (!interned_.cells.empty()) __builtin_prefetch(&interned_.cells[interned_.home(h32)]);
    }
    // Forgets `slot` under the value key. The value's text stays interned.
    void remove(std::uint64_t slot, std::string_view value_key, std::uint64_t hash);
    // The members of one value are the slot set of the interned value
    // (SlotSets::kEmpty when it is not interned) and those of the singles with
    // its hash that hold it: for_each_single lists the singles with the hash,
    // which may hold other values.
    SlotSets::Handle interned_set(std::string_view value_key, std::uint64_t hash) const;
    // Whether the value key is interned (its set may be empty).
    bool is_interned(std::string_view value_key, std::uint64_t hash) const;
    template <class F>
    void for_each_single(std::uint64_t hash, F f) const {
        if (!singles_.used) return;
        const std::uint32_t h32 = hash32(hash);
        for (std::uint64_t i = singles_.home(h32); singles_.cells[i]; i = (i + 1) & singles_.mask()) {
            const std::uint64_t c = singles_.cells[i];
            if (static_cast<std::uint32_t>(c >> 32) == h32) f(std::uint64_t{static_cast<std::uint32_t>(c)});
        }
    }
    // The same, f(slot, line) with the line added with each single. The lines
    // beside the cells are asked for with them.
    template <class F>
    void for_each_single_with_line(std::uint64_t hash, F f) const {
        if (!singles_.used) return;
        const std::uint32_t h32 = hash32(hash);
        std::uint64_t i = singles_.home(h32);
        __builtin_prefetch(&singles_.lines[i]);
        for (; singles_.cells[i]; i = (i + 1) & singles_.mask()) {
            const std::uint64_t c = singles_.cells[i];
            if (static_cast<std::uint32_t>(c >> 32) == h32)
                f(std::uint64_t{static_cast<std::uint32_t>(c)}, singles_.lines[i]);
        }
    }

    // Makes room for `n` singles in all, so that they come without regrowing the table.
    void reserve_singles(std::uint64_t n) { (void)singles_.reserve(n); }
    // Bytes of a singles table that holds `n`.
    static std::size_t singles_bytes(std::uint64_t n) {
        return Table::cells_for(n) * (sizeof(std::uint64_t) + sizeof(std::uint32_t));
    }

    const SlotSets& sets() const { return sets_; }
    std::uint64_t singles() const { return singles_.used; }
    std::uint64_t interned() const { return interned_.used; }
    // Heap bytes held, kept up to date as values are added.
    std::size_t memory_bytes() const;

private:
    struct Table {
        std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> cells;  // (hash32 << 32) | payload; 0: empty
        // With keeps_lines, the line added with each cell (as long as `cells`).
        std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>> lines;
        bool keeps_lines;
        std::uint64_t used = 0;
        int shift = 32;  // a cell's home is hash32 >> shift

        explicit Table(bool with_lines = false) : keeps_lines(with_lines) {}

        std::uint64_t mask() const { return cells.size() - 1; }
        std::uint64_t home(std::uint32_t h32) const { return shift >= 32 ? 0 : h32 >> shift; }
        // Cells a table needs for `n` entries: a power of two, at least 8, at most 80 % full.
        static std::uint64_t cells_for(std::uint64_t n);
        // Makes room for `n` entries in all (rehashing into a larger table);
        // false when that would take more than 2^32 cells.
        bool reserve(std::uint64_t n);
        bool reserve_one() { return reserve(used + 1); }
        void insert(std::uint64_t cell, std::uint32_t line = 0);
        // Empties cell i and closes the gap behind it.
        void erase(std::uint64_t i);
    };

    static std::uint32_t hash32(std::uint64_t hash);
    // Arena word of the interned value key, or nothing.
    std::uint64_t find_interned(std::string_view value_key, std::uint32_t h32) const;
    SlotSets::Handle handle_at(std::uint64_t word) const;
    void set_handle_at(std::uint64_t word, SlotSets::Handle h);

    Table singles_{true};  // payload: the slot
    Table interned_;       // payload: the arena word where the value's record starts
    // Interned values, each [handle low 32 bits][handle high 32 bits][length]
    // [value key bytes, padded to whole words].
    std::vector<std::uint32_t> arena_;
    SlotSets sets_;
};

}  // namespace orbisk
