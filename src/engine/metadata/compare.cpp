#include "engine/metadata/compare.hpp"

#include <variant>

namespace orbisk {

bool values_equal(const MetadataValue& a, const MetadataValue& b) {
    // The variant's own equality is exactly the strict one: alternatives differ
    // by kind, nested objects hold their members sorted, and double comparison
    // treats -0.0 as 0.0.
    return a == b;
}

bool number_as_double(const MetadataValue& v, double& out) {
    if (const auto* u = std::get_if<std::uint64_t>(&v.v)) {
        out = static_cast<double>(*u);
        return true;
    }
    if (const auto* i = std::get_if<std::int64_t>(&v.v)) {
        out = static_cast<double>(*i);
        return true;
    }
    if (const auto* d = std::get_if<double>(&v.v)) {
        out = *d;
        return true;
    }
    return false;
}

}  // namespace orbisk
