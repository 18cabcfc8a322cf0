// GeoJSON Point features read into Arrow columns: the latitude and longitude
// of each feature, its number and line, and its properties as the JSON object
// text the store keeps (nested objects in key order, the last of equal keys).
//
// The reader takes only what is plainly a Point feature whose properties the
// store gives back as they are: any other text (a feature of another kind, a
// coordinate out of range, a value nested deeper than 127 levels, an integer
// of more than 18 digits, anything that is not strict JSON) makes it give up
// on the whole text, so that a reader that names each problem reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "columnar/arrow_table.hpp"

namespace orbisk::columnar {

struct FeatureText {
    std::string_view text;
    // true: one feature a line (empty lines and the white space and record
    // separators around a feature are passed over); false: features separated
    // by commas, as in a FeatureCollection's array.
    bool lines = false;
    std::int64_t first_number = 1;  // of the first feature (lines: of the first line)
    std::int64_t first_line = 1;    // of the text's first byte
    // The metadata key that keeps the third coordinate of 3-D points; without
    // one, a 3-D point makes the reader give up.
    std::optional<std::string> height_key;
};

// Columns "latitude", "longitude" (float64), "number", "line" (int64) and
// "metadata_rest" (the properties; marked as the leftover metadata that
// append merges into each point). Null when the text is not plainly Point
// features.
std::shared_ptr<ArrowTable> read_features(const FeatureText& input);

}  // namespace orbisk::columnar
