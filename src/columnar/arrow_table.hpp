// Arrays ready to hand over through the Arrow C data interface: buffers with
// their owners, formats, names and field metadata, and their export as
// ArrowSchema, ArrowArray and ArrowArrayStream. Every exported structure keeps
// the table it points into alive until its consumer releases it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "columnar/arrow_abi.hpp"

namespace orbisk::columnar {

// One buffer of an array: its bytes and whatever keeps them alive.
struct Buffer {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;

    template <class T>
    static Buffer of(std::vector<T> v) {
        // Consumers may read a buffer of a zero-length array: never hand over null.
        if (v.empty()) v.reserve(1);
        auto held = std::make_shared<const std::vector<T>>(std::move(v));
        return Buffer{held, held->data()};
    }
    static Buffer of(std::string s) {
        auto held = std::make_shared<const std::string>(std::move(s));
        return Buffer{held, held->data()};
    }
    // No validity bitmap: every value is valid.
    static Buffer none() { return Buffer{}; }
};

struct ArrowColumn {
    std::string format;
    std::string name;
    FieldMetadata metadata;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::vector<Buffer> buffers;
    std::vector<ArrowColumn> children;
};

// A result: the schema as a zero-length struct array of the fields, and the
// record batches, each a struct array of the same fields.
struct ArrowTable {
    ArrowColumn schema;
    std::vector<ArrowColumn> batches;
    std::int64_t rows() const {
        std::int64_t n = 0;
        for (const auto& b : batches) n += b.length;
        return n;
    }
};

void export_schema(const ArrowColumn& column, ArrowSchema* out);
void export_array(const std::shared_ptr<const ArrowTable>& owner, const ArrowColumn& column, ArrowArray* out);
// A stream over the table's batches, from the first; each stream is consumed once.
void export_stream(std::shared_ptr<const ArrowTable> table, ArrowArrayStream* out);

// A validity bitmap of `n` bits, all clear, to set with set_bit.
inline std::vector<std::uint8_t> bitmap(std::size_t n) { return std::vector<std::uint8_t>((n + 7) / 8, 0); }
inline void set_bit(std::vector<std::uint8_t>& bits, std::size_t i) {
    bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

}  // namespace orbisk::columnar
