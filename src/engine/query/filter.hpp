// FilterExpr: a parsed metadata filter. An immutable tree of comparisons of
// top-level metadata keys, combined with And, Or and Not. It holds no Python
// object, so scan workers share one tree read-only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/metadata/metadata.hpp"

namespace orbisk {

// In the order of their texts: "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin".
enum class CompareOp : std::uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin };

struct FilterExpr {
    enum class Kind : std::uint8_t { Compare, And, Or, Not };

    Kind kind = Kind::And;
    // Compare: the exact top-level key, the operator and its operand (an Array
    // for In and Nin).
    std::string key;
    CompareOp op = CompareOp::Eq;
    MetadataValue operand;
    // And / Or: the children in order (possibly none). Not: exactly one child.
    std::vector<FilterExpr> children;
};

}  // namespace orbisk
