// The commit manifest: the durable record of the last checkpoint or compaction.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/util/error.hpp"

namespace orbisk {

struct CommitManifest {
    std::uint64_t next_slot = 0;
    std::uint64_t wal_seq = 0;
    std::uint64_t generation = 0;
    std::uint64_t coords_bytes = 0;
    std::uint32_t coords_crc = 0;
    std::uint64_t metadata_bytes = 0;
    std::uint32_t metadata_crc = 0;

    friend bool operator==(const CommitManifest&, const CommitManifest&) = default;
};

inline constexpr std::size_t kManifestV3Size = 60;
inline constexpr std::size_t kManifestV2Size = 52;

std::array<std::uint8_t, kManifestV3Size> encode_manifest(const CommitManifest& m);
// Decodes manifest bytes (version 2 or 3); errors are InvalidData with the reader's messages.
Result<CommitManifest> decode_manifest(const std::string& bytes);

// No manifest (nullopt) when the file does not exist.
Result<std::optional<CommitManifest>> read_manifest(const std::string& manifest_path);
// Writes the temporary file, forces it, renames it over the manifest and forces
// the directory. `exclusive_temp` refuses to follow a link at the temporary name.
// Succeeds only when the new manifest is durable. *renamed (when given) tells
// whether it took the old one's place, durably or not: after a failed directory
// force the new manifest is what readers see now, but a power cut may bring
// the old one back.
Status write_manifest(const CommitManifest& m, const std::string& manifest_path, bool exclusive_temp = false,
                      bool* renamed = nullptr);

}  // namespace orbisk
