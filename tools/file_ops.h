// The packaging tool's file handling: every write goes to a temporary name next to its target and
// is renamed into place only when complete, so a failure never leaves a half-written result.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// The whole of a regular file. Throws PackError naming the file and the reason.
std::vector<char> read_file(const std::filesystem::path& path);

// The permission bits (rwx for user, group, other) of a file, following links.
mode_t permission_bits(const std::filesystem::path& path);

// Writes `bytes` to a temporary file in `target`'s directory with the permission bits `mode`, then
// renames it over `target`. On failure the temporary is removed and PackError is thrown.
void write_file_atomically(const std::filesystem::path& target, std::span<const char> bytes, mode_t mode);

// ".NAME" + suffix, a hidden name beside `target` for work in progress, named after it so that a
// leftover says whose it was; just `suffix` when that, with six bytes to spare for a unique tail,
// would pass the 255-byte limit of a file name.
std::string hidden_name(const std::filesystem::path& target, std::string_view suffix);

// A fresh directory named "<prefix>XXXXXX" inside `parent`, removed with everything in it when the
// guard is destroyed, unless release() was called.
class TemporaryDirectory {
public:
    TemporaryDirectory(const std::filesystem::path& parent, const std::string& prefix);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Keep the directory (it has been renamed into place).
    void release() { released_ = true; }

private:
    std::filesystem::path path_;
    bool released_ = false;
};

// Renames `from` to `to`, replacing whatever `to` is (file, link or whole directory tree): the two
// are exchanged in one step (platform::exchange_entries) and the old one is then deleted; on a
// file system without the exchange, the old one steps aside first. On failure `to` is left as it
// was. Throws PackError.
void replace_with(const std::filesystem::path& from, const std::filesystem::path& to);

// Renames `from` to `to` only if nothing is at `to`, in one step (platform::rename_no_replace, or a
// plain rename where the file system lacks it), so that a concurrent writer of `to` is never
// replaced. False when `to` exists; throws PackError on any other failure.
bool rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// The directory of the running executable (links resolved), as the platform tells its path.
std::filesystem::path own_directory();

}  // namespace kestrova::pack
