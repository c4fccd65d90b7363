// Deltas between two release archives, for the delta and inspect-delta commands and for release.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::pack {

// Makes the delta from the bundle in the release archive `old_archive` to the one in
// `new_archive` (two .tar.gz of NAME.app as release writes them) and writes it to `out`; the
// versions are the bundles' CFBundleVersion. Throws PackError.
void make_delta_between_archives(const std::filesystem::path& old_archive, const std::filesystem::path& new_archive,
                                 const std::filesystem::path& out);

// The same for several old archives, each pair's delta written to its second path, with the new
// archive unpacked once for all of them.
void make_deltas_between_archives(
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& olds_and_outs,
    const std::filesystem::path& new_archive);

// What the delta at `path` holds, as "key: value" lines: its bundle and versions, the tree's digest,
// and the count and bytes of files unchanged, moved, patched, new and removed. Throws PackError.
std::string describe_delta(const std::filesystem::path& path);

}  // namespace kestrova::pack
