// From Arrow record batches to points: the coordinates from two number
// columns or a GeoArrow point or WKB geometry column, the metadata text of
// each row from the other columns, written as the store writes metadata
// (nested objects in key order, doubles with a fraction or an exponent).
//
// Column types: null, bool, every integer width, float16/32/64, utf8,
// large_utf8, string_view, arrow.json text (its JSON value), list, large_list,
// fixed_size_list, struct, and dictionary-encoded columns of these. A null
// cell leaves its key out (inside a struct too); a null list element is null.
// Anything else is refused with the column's name before any row is read; a
// value the store cannot keep is refused with its column and row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "columnar/arrow_abi.hpp"
#include "engine/database.hpp"

namespace orbisk::columnar {

struct ImportOptions {
    std::string latitude = "latitude";
    std::string longitude = "longitude";
    // The column the coordinates come from instead; nothing: the latitude and
    // longitude columns when both exist, else the one GeoArrow column.
    std::optional<std::string> geometry;
    // The columns that become metadata; nothing: every other column.
    std::optional<std::vector<std::string>> columns;
};

// Why a stream was refused, which decides the Python exception.
enum class Refusal : std::uint8_t {
    Type,        // a column of a type that cannot be metadata or coordinates
    Value,       // a value the store cannot keep, or a column that is missing
    Coordinate,  // coordinates the store refuses (as insert_batch refuses them)
};

struct ImportError {
    Refusal kind;
    std::string message;
};

// Batches of at least this many rows are converted on several threads.
inline constexpr std::int64_t kParallelRows = 32768;

class StreamImporter {
public:
    // `spare`: emptied buffers to convert into before new ones are made.
    explicit StreamImporter(ImportOptions options, std::vector<PointBatch> spare = {});
    ~StreamImporter();
    StreamImporter(const StreamImporter&) = delete;
    StreamImporter& operator=(const StreamImporter&) = delete;

    // Plans the columns of the stream's schema.
    std::optional<ImportError> set_schema(const ArrowSchema& schema);
    // Adds the rows of one batch (a struct array of the schema's fields).
    std::optional<ImportError> add_batch(const ArrowArray& batch);
    // The points read so far, in order: the points of one batch after the
    // other's (a large record batch's rows are converted into several).
    std::span<const PointBatch> points() const { return parts_; }
    std::size_t size() const {
        std::size_t n = 0;
        for (const PointBatch& part : parts_) n += part.size();
        return n;
    }
    // Gives up the points read and the spare buffers left (for the caller to free or keep).
    std::vector<PointBatch> take() {
        std::vector<PointBatch> out = std::exchange(parts_, {});
        for (PointBatch& part : spare_) out.push_back(std::move(part));
        spare_.clear();
        return out;
    }

    // How the schema's columns are read (defined where they are read).
    struct Plan;

private:
    ImportOptions options_;
    std::unique_ptr<Plan> plan_;
    // A new part: a spare buffer when one is left.
    PointBatch new_part();

    std::vector<PointBatch> parts_;
    std::vector<PointBatch> spare_;
    std::uint64_t rows_ = 0;
};

}  // namespace orbisk::columnar
