// Compaction: the live points copied, tombstone-free and renumbered densely in
// their slot order, into the files of the next data generation; the store
// switches to it when the manifest naming it is durable (Storage::compact).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/record_store.hpp"
#include "engine/util/error.hpp"
#include "engine/util/fs.hpp"

namespace orbisk {

// A data generation on stable storage, mapped, with what its manifest records.
struct NewGeneration {
    MappedFile coords;
    MappedFile metadata;
    std::vector<MetaSpan> spans;  // slot j's metadata entry in the new file
    std::uint64_t coords_bytes = 0;
    std::uint32_t coords_crc = 0;
    std::uint64_t metadata_bytes = 0;
    std::uint32_t metadata_crc = 0;
};

// Writes the live points of `records` into new data files at the two paths,
// each exactly as long as its header and data, the headers counting the live
// points, and forces both to stable storage. A file left at a path by an
// earlier attempt is overwritten; with `exclusive` (a temporary store) the
// files must be new, are not looked for through links, and are removed again
// when writing fails.
Result<NewGeneration> write_generation(const RecordStore& records, const std::string& coords_path,
                                       const std::string& metadata_path, bool exclusive);

}  // namespace orbisk
