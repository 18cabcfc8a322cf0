#include "engine/storage/manifest.hpp"

#include <cerrno>
#include <cstring>

#include "engine/util/crc.hpp"
#include "engine/util/format.hpp"
#include "engine/util/fs.hpp"
#include "engine/storage/paths.hpp"

namespace orbisk {

namespace {
constexpr char kMagicV3[8] = {'G', 'E', 'O', 'C', 'M', 'T', '0', '3'};
constexpr char kMagicV2[8] = {'G', 'E', 'O', 'C', 'M', 'T', '0', '2'};
}  // namespace

std::array<std::uint8_t, kManifestV3Size> encode_manifest(const CommitManifest& m) {
    std::array<std::uint8_t, kManifestV3Size> b{};
    std::memcpy(b.data(), kMagicV3, 8);
    store_u64(b.data() + 8, m.next_slot);
    store_u64(b.data() + 16, m.wal_seq);
    store_u64(b.data() + 24, m.generation);
    store_u64(b.data() + 32, m.coords_bytes);
    store_u32(b.data() + 40, m.coords_crc);
    store_u64(b.data() + 44, m.metadata_bytes);
    store_u32(b.data() + 52, m.metadata_crc);
    store_u32(b.data() + 56, crc32(b.data(), 56));
    return b;
}

Result<CommitManifest> decode_manifest(const std::string& bytes) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t n = bytes.size();
    if (n < 8) return fail(Error::invalid("commit manifest has wrong size or magic"));
    CommitManifest m;
    if (std::memcmp(b, kMagicV2, 8) == 0) {
        if (n != kManifestV2Size) return fail(Error::invalid("commit manifest (v2) has wrong size"));
        if (crc32(b, 48) != load_u32(b + 48))
            return fail(Error::invalid("commit manifest self-CRC mismatch (manifest corrupted)"));
        m.next_slot = load_u64(b + 8);
        m.wal_seq = load_u64(b + 16);
        m.coords_bytes = load_u64(b + 24);
        m.coords_crc = load_u32(b + 32);
        m.metadata_bytes = load_u64(b + 36);
        m.metadata_crc = load_u32(b + 44);
        return m;
    }
    if (std::memcmp(b, kMagicV3, 8) == 0) {
        if (n != kManifestV3Size) return fail(Error::invalid("commit manifest (v3) has wrong size"));
        if (crc32(b, 56) != load_u32(b + 56))
            return fail(Error::invalid("commit manifest self-CRC mismatch (manifest corrupted)"));
        m.next_slot = load_u64(b + 8);
        m.wal_seq = load_u64(b + 16);
        m.generation = load_u64(b + 24);
        m.coords_bytes = load_u64(b + 32);
        m.coords_crc = load_u32(b + 40);
        m.metadata_bytes = load_u64(b + 44);
        m.metadata_crc = load_u32(b + 52);
        return m;
    }
    return fail(Error::invalid("commit manifest has wrong size or magic"));
}

Result<std::optional<CommitManifest>> read_manifest(const std::string& manifest_path) {
    auto bytes = read_whole_file(manifest_path);
    if (!bytes) {
        if (bytes.error().code == ENOENT) return std::optional<CommitManifest>{};
        return fail(bytes.error());
    }
    auto m = decode_manifest(*bytes);
    if (!m) return fail(m.error());
    return std::optional<CommitManifest>{*m};
}

Status write_manifest(const CommitManifest& m, const std::string& manifest_path, bool exclusive_temp, bool* renamed) {
    const auto bytes = encode_manifest(m);
    const std::string temp = manifest_temp_path(manifest_path);
    int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (exclusive_temp) flags |= O_NOFOLLOW;
    auto f = File::open(temp, flags, exclusive_temp ? 0600 : 0644);
    if (!f) return fail(f.error());
    if (auto st = f->write_all(bytes.data(), bytes.size()); !st) return st;
    if (auto st = f->sync(); !st) return st;
    f->close();
    if (auto st = rename_file(temp, manifest_path); !st) return st;
    if (renamed) *renamed = true;
    // Until the directory is forced, the rename itself may be undone by a power cut.
    return sync_parent_directory(manifest_path);
}

}  // namespace orbisk
