// How the files of one store are named.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orbisk {

// `path` with the extension of its last component replaced by `ext` ("data/geo.db"
// and "coords.mmap" give "data/geo.coords.mmap"; a name without extension gets
// ".ext" appended; a leading full stop does not start an extension).
std::string replace_extension(const std::string& path, std::string_view ext);

struct StoreNames {
    std::string coords;    // {prefix}coords.mmap
    std::string metadata;  // {prefix}metadata.mmap
    std::string lock;      // {prefix}lock
};
StoreNames derive_names(const std::string& path);

// Manifest and log names, derived from the coordinates path.
std::string commit_path(const std::string& coords_path);
std::string wal_path(const std::string& coords_path);
std::string manifest_temp_path(const std::string& manifest_path);

// The generation-0 name of the open cache (open_cache.hpp): "{prefix}cache.mmap"
// beside "{prefix}coords.mmap".
std::string cache_base_path(const std::string& coords_base);

// The data file of generation `g` (kind "coords" or "metadata"); generation 0 is `base` itself.
std::string generation_path(const std::string& base, std::string_view kind, std::uint64_t g);

// The generation number in the middle of a data-file name: decimal, an optional
// leading "+", no other sign, fitting 64 bits. Nothing for anything else.
std::optional<std::uint64_t> parse_generation_number(std::string_view text);

// True when the directory of `coords_base` holds a compacted coordinates file
// "{stem}coords.{N}.mmap" (N a generation number other than 0).
bool compacted_generation_exists(const std::string& coords_base);

// Deletes this store's data files and open caches of every generation other than `g`: the
// generation-0 name and names whose middle part is a generation number. Other
// files are left alone. Failures are ignored.
void remove_stale_generations(const std::string& coords_base, const std::string& metadata_base, std::uint64_t g);

}  // namespace orbisk
