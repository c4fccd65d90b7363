#include "tools/file_ops.h"

#include "kestrova/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/executable_path.h"
#include "platform/file_system.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

using kestrova::FileDescriptor;

constexpr std::string_view msg_cannot_read = "cannot read \"{}\": {}; check the path and its permissions";
constexpr std::string_view msg_not_regular = "\"{}\" is not a regular file; name a file";
constexpr std::string_view msg_cannot_create =
    "cannot create a file in \"{}\": {}; check that the directory exists and is writable";
constexpr std::string_view msg_cannot_write = "cannot write \"{}\": {}; check the free space and permissions there";
constexpr std::string_view msg_cannot_make_dir =
    "cannot create a working directory in \"{}\": {}; check that it exists and is writable";
constexpr std::string_view msg_cannot_rename =
    "cannot move the result into place at \"{}\": {}; check the permissions there";
constexpr std::string_view msg_no_self = "cannot find the tool's own location: {}";

std::string errno_text(int error) { return std::generic_category().message(error); }

fs::path directory_of(const fs::path& target) {
    const fs::path parent = target.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

// Appended piece by piece: g++ 12 warns falsely (-Wrestrict) about the chained operator+ form.
std::string hidden_name(const fs::path& target, std::string_view suffix) {
    std::string name = ".";
    name += target.filename().string();
    name += suffix;
    if (name.size() + 6 > 255) return std::string(suffix);
    return name;
}

std::vector<char> read_file(const fs::path& path) {
    // Non-blocking, so that opening a named pipe returns at once and is refused below instead of
    // waiting for a writer forever; reads of a regular file never block anyway.
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) throw PackError(fill(msg_cannot_read, {path.string(), errno_text(errno)}));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw PackError(fill(msg_cannot_read, {path.string(), errno_text(errno)}));
    if (!S_ISREG(info.st_mode)) throw PackError(fill(msg_not_regular, {path.string()}));

    std::vector<char> bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    if (const int error = kestrova::read_up_to(fd.get(), bytes, bytes.max_size()); error != 0)
        throw PackError(fill(msg_cannot_read, {path.string(), errno_text(error)}));
    return bytes;
}

mode_t permission_bits(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw PackError(fill(msg_cannot_read, {path.string(), errno_text(errno)}));
    return info.st_mode & 0777;
}

void write_file_atomically(const fs::path& target, std::span<const char> bytes, mode_t mode) {
    const fs::path dir = directory_of(target);
    std::string name = (dir / hidden_name(target, ".kestrova-pack-XXXXXX")).string();
    FileDescriptor fd(::mkstemp(name.data()));
    if (fd.get() < 0) throw PackError(fill(msg_cannot_create, {dir.string(), errno_text(errno)}));

    int error = kestrova::write_all(fd.get(), std::string_view(bytes.data(), bytes.size()));
    // mkstemp makes the file 0600; the result takes the mode it was asked for (an executable
    // stays executable), not one the umask trims.
    if (error == 0 && ::fchmod(fd.get(), mode) != 0) error = errno;
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (fd.close() != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(name.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(name.c_str());
        throw PackError(fill(msg_cannot_write, {target.string(), errno_text(error)}));
    }
}

TemporaryDirectory::TemporaryDirectory(const fs::path& parent, const std::string& prefix) {
    std::string name = (parent / (prefix + "XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr)
        throw PackError(fill(msg_cannot_make_dir, {parent.string(), errno_text(errno)}));
    path_ = name;
}

TemporaryDirectory::~TemporaryDirectory() {
    if (released_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void replace_with(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    const bool had_old = fs::exists(fs::symlink_status(to, ec));
    if (!had_old) {
        if (::rename(from.c_str(), to.c_str()) != 0)
            throw PackError(fill(msg_cannot_rename, {to.string(), errno_text(errno)}));
        return;
    }
    // As an update is installed: the new result and the old one trade places in one step, so that
    // `to` never names nothing or half of either, and the old one, now at `from`, is deleted after.
    const int exchange_error = platform::exchange_entries(AT_FDCWD, from.c_str(), to.c_str());
    if (exchange_error == 0) {
        fs::remove_all(from, ec);
        return;
    }
    if (exchange_error != platform::exchange_not_supported)
        throw PackError(fill(msg_cannot_rename, {to.string(), errno_text(exchange_error)}));
    // A file system that cannot exchange (vfat, many FUSE ones), where the installer refuses: the
    // tool's result is made again by running it again, so there the old result steps aside into a
    // private directory first (rename cannot put a directory over a non-empty one) and is deleted
    // only once the new one stands in its place.
    TemporaryDirectory aside(directory_of(to), hidden_name(to, ".old-"));
    const fs::path old = aside.path() / "old";
    if (::rename(to.c_str(), old.c_str()) != 0)
        throw PackError(fill(msg_cannot_rename, {to.string(), errno_text(errno)}));
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        ::rename(old.c_str(), to.c_str());
        throw PackError(fill(msg_cannot_rename, {to.string(), errno_text(error)}));
    }
}

bool rename_without_replacing(const fs::path& from, const fs::path& to) {
    int error = platform::rename_no_replace(from.c_str(), to.c_str());
    if (error == 0) return true;
    if (error == platform::rename_no_replace_not_supported) {
        // A file system without the flag: a plain rename of a directory still refuses to replace a
        // file or a non-empty directory, and a bundle is never empty.
        if (::rename(from.c_str(), to.c_str()) == 0) return true;
        error = errno;
        if (error == ENOTEMPTY || error == ENOTDIR) error = EEXIST;
    }
    if (error == EEXIST) return false;
    throw PackError(fill(msg_cannot_rename, {to.string(), errno_text(error)}));
}

fs::path own_directory() {
    std::string buffer(4096, '\0');
    for (;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        const int got = platform::get_executable_path(buffer.data(), &size);
        if (got == 0) return fs::path(buffer.c_str()).parent_path();
        if (got == platform::executable_path_unreadable)
            throw PackError(fill(msg_no_self, {std::generic_category().message(errno)}));
        buffer.resize(std::max<std::size_t>(size, buffer.size() * 2));
    }
}

}  // namespace kestrova::pack
