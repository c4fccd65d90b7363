// Deltas between two release archives, for the delta and inspect-delta commands and for release.
#pragma once

#include <filesystem>
#include <string>

namespace kestrova::pack {

// Makes the delta from the bundle in the release archive `old_archive` to the one in
// `new_archive` (two .tar.gz of NAME.app as release writes them) and writes it to `out`; the
// versions are the bundles' CFBundleVersion. Throws PackError.
void make_delta_between_archives(const std::filesystem::path& old_archive, const std::filesystem::path& new_archive,
                                 const std::filesystem::path& out);

// What the delta at `path` holds, as "key: value" lines: its bundle and versions, the tree's digest,
// and the count and bytes of files unchanged, moved, patched, new and removed. Throws PackError.
std::string describe_delta(const std::filesystem::path& path);

}  // namespace kestrova::pack
