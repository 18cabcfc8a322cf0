// Evaluation of a filter against one point's metadata: strict equality (no
// coercion between kinds), ranges only between numbers compared as doubles,
// and the array rules of $in and $nin.
#include "engine/query/filter.hpp"

#include <algorithm>

namespace orbisk {

namespace {

bool in_operand(const MetadataValue& field, const MetadataValue& operand) {
    const auto* choices = std::get_if<MetadataArray>(&operand.v);
    if (!choices) return false;
    auto held = [&](const MetadataValue& x) {
        for (const auto& c : *choices)
            if (values_equal(x, c)) return true;
        return false;
    };
    if (const auto* items = std::get_if<MetadataArray>(&field.v)) {
        for (const auto& x : *items)
            if (held(x)) return true;
        return false;
    }
    return held(field);
}

bool compare_matches(const FilterExpr& f, const MetadataMap& metadata) {
    const MetadataValue* field = metadata.find(f.key);
    switch (f.op) {
        case CompareOp::Eq:
            return field && values_equal(*field, f.operand);
        case CompareOp::Ne:
            return !field || !values_equal(*field, f.operand);
        case CompareOp::In:
            return field && in_operand(*field, f.operand);
        case CompareOp::Nin:
            return !field || !in_operand(*field, f.operand);
        case CompareOp::Gt:
        case CompareOp::Gte:
        case CompareOp::Lt:
        case CompareOp::Lte:
            break;
    }
    double x, y;
    if (!field || !number_as_double(*field, x) || !number_as_double(f.operand, y)) return false;
    switch (f.op) {
        case CompareOp::Gt:
            return x > y;
        case CompareOp::Gte:
            return x >= y;
        case CompareOp::Lt:
            return x < y;
        default:
            return x <= y;
    }
}

}  // namespace

std::vector<std::string> filter_keys(const FilterExpr& filter) {
    std::vector<std::string> keys;
    auto walk = [&](auto& self, const FilterExpr& f) -> void {
        if (f.kind == FilterExpr::Kind::Compare) {
            if (std::find(keys.begin(), keys.end(), f.key) == keys.end()) keys.push_back(f.key);
            return;
        }
        for (const auto& c : f.children) self(self, c);
    };
    walk(walk, filter);
    return keys;
}

bool filter_matches(const FilterExpr& filter, const MetadataMap& metadata) {
    switch (filter.kind) {
        case FilterExpr::Kind::Compare:
            return compare_matches(filter, metadata);
        case FilterExpr::Kind::And:
            for (const auto& c : filter.children)
                if (!filter_matches(c, metadata)) return false;
            return true;
        case FilterExpr::Kind::Or:
            for (const auto& c : filter.children)
                if (filter_matches(c, metadata)) return true;
            return false;
        case FilterExpr::Kind::Not:
            return filter.children.empty() || !filter_matches(filter.children[0], metadata);
    }
    return false;
}

}  // namespace orbisk
