// The payload of one write-ahead-log record: a WalRecord as compact JSON text.
//
//   {"seq":7,"op":{"Insert":{"lat":1.5,"lon":-2.0,"meta_json":"{\"a\":1}"}}}
//   {"seq":8,"op":{"Delete":{"ids":[3,4]}}}
//
// The writer produces exactly these shapes. The reader is strict JSON but
// tolerant of layout: whitespace between tokens and after the value, keys in
// any order, unknown keys skipped; a missing or repeated known key fails.
#pragma once

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

struct WalDelete {
    std::vector<std::uint64_t> ids;
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
void append_delete_payload(std::string& out, std::uint64_t seq, std::span<const std::uint64_t> ids);

// Nothing when the payload is not exactly one well-formed WalRecord.
std::optional<WalRecord> decode_wal_payload(std::string_view payload);

}  // namespace orbisk
