#include "engine/storage/paths.hpp"

#include <charconv>
#include <vector>

#include "engine/util/fs.hpp"

namespace orbisk {

namespace {

// Splits a path into its directory part (with the trailing separator) and its last component.
std::pair<std::string_view, std::string_view> split_name(std::string_view path) {
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view{}, path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string directory_of(const std::string& path) {
    auto [dir, name] = split_name(path);
    if (dir.empty()) return ".";
    return std::string(dir);
}

bool ends_with(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

}  // namespace

std::string replace_extension(const std::string& path, std::string_view ext) {
    auto [dir, name] = split_name(path);
    std::string out(dir);
    std::string_view stem = name;
    if (name != "." && name != "..") {
        auto dot = name.rfind('.');
        if (dot != std::string_view::npos && dot > 0) stem = name.substr(0, dot);
    }
    out += stem;
    out += '.';
    out += ext;
    return out;
}

StoreNames derive_names(const std::string& path) {
    return {replace_extension(path, "coords.mmap"), replace_extension(path, "metadata.mmap"),
            replace_extension(path, "lock")};
}

std::string commit_path(const std::string& coords_path) {
    if (ends_with(coords_path, "coords.mmap")) return coords_path.substr(0, coords_path.size() - 11) + "commit";
    return replace_extension(coords_path, "commit");
}

std::string wal_path(const std::string& coords_path) {
    if (ends_with(coords_path, "coords.mmap")) return coords_path.substr(0, coords_path.size() - 11) + "wal";
    return replace_extension(coords_path, "wal");
}

std::string manifest_temp_path(const std::string& manifest_path) {
    return replace_extension(manifest_path, "commit.tmp");
}

std::string cache_base_path(const std::string& coords_base) {
    constexpr std::string_view kCoords = "coords.mmap";
    if (ends_with(coords_base, kCoords))
        return coords_base.substr(0, coords_base.size() - kCoords.size()) + "cache.mmap";
    return replace_extension(coords_base, "cache.mmap");
}

std::string generation_path(const std::string& base, std::string_view kind, std::uint64_t g) {
    if (g == 0) return base;
    std::string suffix = std::string(kind) + ".mmap";
    if (ends_with(base, suffix))
        return base.substr(0, base.size() - suffix.size()) + std::string(kind) + "." + std::to_string(g) + ".mmap";
    return replace_extension(base, std::to_string(g) + ".mmap");
}

std::optional<std::uint64_t> parse_generation_number(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return v;
}

namespace {

// For each directory entry that is a data file of `kind` belonging to the store
// whose generation-0 file is `base`, calls `f(entry_path, generation)`.
template <class F>
void for_each_generation_file(const std::string& base, std::string_view kind, F f) {
    auto [dir_part, name] = split_name(base);
    std::string gen0_suffix = std::string(kind) + ".mmap";
    if (!ends_with(name, gen0_suffix)) return;
    std::string stem(name.substr(0, name.size() - gen0_suffix.size()));
    std::string prefix = stem + std::string(kind) + ".";
    auto entries = list_directory(directory_of(base));
    if (!entries) return;
    for (const auto& entry : *entries) {
        std::optional<std::uint64_t> g;
        if (entry == stem + gen0_suffix) {
            g = 0;
        } else if (entry.size() > prefix.size() + 5 && entry.starts_with(prefix) && entry.ends_with(".mmap")) {
            std::string_view middle(entry);
            middle = middle.substr(prefix.size(), middle.size() - prefix.size() - 5);
            g = parse_generation_number(middle);
            // We never write a numbered generation 0; such a file is not ours.
            if (g == 0) g.reset();
        }
        if (g) f(std::string(dir_part) + entry, *g);
    }
}

}  // namespace

bool compacted_generation_exists(const std::string& coords_base) {
    bool found = false;
    for_each_generation_file(coords_base, "coords", [&](const std::string&, std::uint64_t g) { found |= g != 0; });
    return found;
}

void remove_stale_generations(const std::string& coords_base, const std::string& metadata_base, std::uint64_t g) {
    const std::string cache_base = cache_base_path(coords_base);
    const std::pair<const std::string*, std::string_view> kinds[] = {
        {&coords_base, "coords"}, {&metadata_base, "metadata"}, {&cache_base, "cache"}};
    for (auto [base, kind] : kinds) {
        const std::string current = generation_path(*base, kind, g);
        std::vector<std::string> stale;
        for_each_generation_file(*base, kind, [&](const std::string& p, std::uint64_t) {
            if (p != current) stale.push_back(p);
        });
        for (const auto& p : stale) (void)remove_file(p);
    }
}

}  // namespace orbisk
