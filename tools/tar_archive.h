// The release archive: a bundle as a gzip-compressed tar that is the same bytes every time it is
// made from the same tree, so a release can be rebuilt and checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrova::pack {

// Writes `bundle` (a NAME.app directory) to `out` as a .tar.gz whose one top entry is NAME.app.
// Entries come in byte order of their paths, parents before children; owner and group are 0 and
// unnamed; permission bits are kept; symbolic links are stored as links (never followed), and a
// file with several hard links as separate regular files, since the updater accepts no hard links;
// every entry's time is `mtime` when given, else the file's own. The gzip header holds no time and
// no name. `out` is created or truncated. Throws PackError, also for a file that is neither a
// directory, a regular file nor a link (a device, a pipe or a socket has no place in a release).
void write_bundle_archive(const std::filesystem::path& bundle, const std::filesystem::path& out,
                          std::optional<std::int64_t> mtime);

}  // namespace kestrova::pack
