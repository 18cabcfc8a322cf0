// FilterExpr: a parsed metadata filter. An immutable tree of comparisons of
// top-level metadata keys, combined with And, Or and Not. It holds no Python
// object, so scan workers share one tree read-only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/metadata/compare.hpp"
#include "engine/metadata/metadata.hpp"

namespace orbisk {

// Filter documents nested deeper than this are refused by the parser, so that
// parsing, evaluating or destroying any accepted tree (all recurse) stays far
// inside a thread's stack, whatever the interpreter's recursion limit is.
inline constexpr int kMaxFilterDepth = 256;

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

    // A Compare node's condition (it refers to this node's key and operand).
    Condition condition() const { return {key, op, operand}; }

    static FilterExpr compare(std::string key, CompareOp op, MetadataValue operand) {
        FilterExpr f;
        f.kind = Kind::Compare;
        f.key = std::move(key);
        f.op = op;
        f.operand = std::move(operand);
        return f;
    }
    static FilterExpr group(Kind kind, std::vector<FilterExpr> children) {
        FilterExpr f;
        f.kind = kind;
        f.children = std::move(children);
        return f;
    }
};

// Whether a point's metadata satisfies the filter. Pure: no locks, any thread.
bool filter_matches(const FilterExpr& filter, const MetadataMap& metadata);

// The distinct metadata keys the filter looks at, in first-seen order.
std::vector<std::string> filter_keys(const FilterExpr& filter);

}  // namespace orbisk
