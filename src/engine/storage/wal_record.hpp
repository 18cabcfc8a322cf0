// The payload of one write-ahead-log record: a WalRecord as compact JSON text.
//
//   {"seq":7,"op":{"Insert":{"lat":1.5,"lon":-2.0,"meta_json":"{\"a\":1}"}}}
//   {"seq":8,"op":{"Delete":{"ids":[3,4],"prev_coords":["<32 hex digits>","<32 hex digits>"]}}}
//
// A Delete also carries the 16-byte coordinate record each slot held before it
// was tombstoned (lowercase hex, in the order of `ids`), so that an open can
// tell a delete cut short inside the committed region from corruption.
// Readers that do not know the key skip it.
//
// The writer produces exactly these shapes. The reader is strict JSON but
// tolerant of layout: whitespace between tokens and after the value, keys in
// any order, unknown keys skipped; a missing or repeated known key fails.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orbisk {

struct WalInsert {
    double lat;
    double lon;
    std::string meta_json;
    friend bool operator==(const WalInsert&, const WalInsert&) = default;
};

// One coordinate record as the file holds it (latitude, longitude).
using CoordBytes = std::array<std::uint8_t, 16>;

struct WalDelete {
    std::vector<std::uint64_t> ids;
    // The records before the delete, one per id; empty when the record carries
    // none (or none that reads as one per id).
    std::vector<CoordBytes> prev = {};
    friend bool operator==(const WalDelete&, const WalDelete&) = default;
};

struct WalRecord {
    std::uint64_t seq;
    std::variant<WalInsert, WalDelete> op;
    friend bool operator==(const WalRecord&, const WalRecord&) = default;
};

// Append the compact payload to `out` (which is not cleared). Coordinates are
// finite (validated before anything is logged).
void append_insert_payload(std::string& out, std::uint64_t seq, double lat, double lon, std::string_view meta_json);
// `prev`, when not empty, holds one record per id.
void append_delete_payload(std::string& out, std::uint64_t seq, std::span<const std::uint64_t> ids,
                           std::span<const CoordBytes> prev = {});

// Nothing when the payload is not exactly one well-formed WalRecord.
std::optional<WalRecord> decode_wal_payload(std::string_view payload);

}  // namespace orbisk
