// How metadata values compare: the comparison operators of the filter language,
// one condition on a top-level key, strict equality and the numbers that
// ranges compare. Shared by the filter evaluation (query/) and the metadata
// indexes (index/), which must agree on every answer.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/metadata/metadata.hpp"

namespace orbisk {

// In the order of their texts: "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin".
enum class CompareOp : std::uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin };

// One condition on a top-level key: what a filter's comparison holds, and what
// a metadata index answers. It refers to the key and operand of its filter.
struct Condition {
    std::string_view key;
    CompareOp op;
    const MetadataValue& operand;
};

// Strict equality of metadata values: different variants (and integer and
// double numbers) are never equal; doubles compare by value (0.0 == -0.0).
bool values_equal(const MetadataValue& a, const MetadataValue& b);

// A Number as a double (unsigned and signed integers converted), or nothing for
// any other value.
bool number_as_double(const MetadataValue& v, double& out);

}  // namespace orbisk
