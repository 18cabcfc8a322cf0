// From stored points to Arrow record batches: ids, coordinates, an optional
// geometry column, and the metadata as one typed column per key (or as the
// stored JSON text). Each record's text is read once, on the worker pool, a
// batch of records a piece; the column types are settled when every piece
// has been read, from what the pieces saw (or as the caller gave them).
//
// Typed columns hold their values exactly. A value a column cannot hold as it
// is goes, with its key, into the row's JSON object in the column
// `metadata_rest`: a stored null (the column's null means "no such key"), a
// value that does not fit a type the caller gave, and every value of a key
// named like one of the fixed columns. A key whose values are nested, or of
// more than one kind, gets a JSON text column, which holds every value.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columnar/arrow_table.hpp"
#include "engine/query/text_records.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk::columnar {

enum class ColType : std::uint8_t {
    Null,
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float32,
    Float64,
    Utf8,
    LargeUtf8,
    Json,
};

// A type a caller may give by name ("int64", "float64", "string", "json", ...;
// the names pyarrow prints for these types are accepted too). Nothing for any
// other name.
std::optional<ColType> col_type_from_name(std::string_view name);

enum class GeometryForm : std::uint8_t { None, Wkb, Point, Interleaved };
enum class MetadataForm : std::uint8_t { Columns, Json, None };

inline constexpr const char* kRestColumn = "metadata_rest";
inline constexpr const char* kJsonColumn = "metadata";
inline constexpr const char* kGeometryColumn = "geometry";
inline constexpr const char* kDistanceColumn = "distance_m";

struct TableOptions {
    GeometryForm geometry = GeometryForm::None;
    MetadataForm metadata = MetadataForm::Columns;
    // The keys to make columns of, in this order; nothing: every key, in the
    // order the records first show them.
    std::optional<std::vector<std::string>> keys;
    // Types given for keys; the others are inferred.
    std::vector<std::pair<std::string, ColType>> types;
    std::size_t batch_rows = 65536;
    // A `distance_m` column (float64) after the coordinates, from the source's distances.
    bool distance = false;
};

// The rows to read: `size` positions, and a walk over the records at
// positions [begin, end) in order, which calls f(record) -> bool until it
// returns false. Pieces of the positions are walked on the worker pool.
struct RecordSource {
    std::size_t size = 0;
    // One distance a position, for TableOptions::distance; the walk then
    // calls f for every position in order, readable or not.
    const double* distances = nullptr;
    std::function<void(std::size_t, std::size_t, const std::function<bool(const TextRecords::Record&)>&)> walk;
};

// Every live point of a record store, by slot, read in place (the caller
// holds the storage lock while the table is built).
RecordSource live_records(const RecordStore& records);
// The records a read returned, and their distances when given (one a record).
RecordSource listed_records(const TextRecords& records, const double* distances = nullptr);

// The table of the records that read (records whose text does not read as
// metadata are left out, as every read leaves them out), in their order.
std::shared_ptr<ArrowTable> build_table(const RecordSource& source, const TableOptions& options);

}  // namespace orbisk::columnar
