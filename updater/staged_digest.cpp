// The staged tree's digest: what mark_ready records and swap_into_place compares, taken through
// the locked staging directory's descriptors, each file and directory put on disk on the way.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <system_error>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "protocol/ed25519.h"
#include "protocol/tree_digest.h"
#include "updater/install_detail.h"
#include "updater/install_steps.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace {

// Adds the tree below the open directory `dir` to `digest`, in name order: each entry's path, type
// and permission bits, and a link's target or a file's size and bytes; each file and directory is
// also put on disk on the way. Every step goes through descriptors and never follows a link, so
// what is hashed is what a later exchange through the same descriptors moves. Throws std::system_error.
void add_tree(int dir, const std::string& relative, protocol::TreeDigest& digest) {
    const auto fail = [](const std::string& what) { throw std::system_error(errno, std::generic_category(), what); };
    FileDescriptor listing_fd(::dup(dir));
    if (!listing_fd.valid()) fail("dup");
    DIR* listing = ::fdopendir(listing_fd.get());
    if (listing == nullptr) fail(relative);
    listing_fd.release();  // closedir closes it
    std::vector<std::string> names;
    for (errno = 0; const dirent* e = ::readdir(listing); errno = 0) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    const int listing_error = errno;
    ::closedir(listing);
    if (listing_error != 0) throw std::system_error(listing_error, std::generic_category(), relative);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        const std::string path = (relative + '/').append(name);
        struct stat info {};
        if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) fail(path);
        const unsigned mode = info.st_mode & 07777;
        if (S_ISLNK(info.st_mode)) {
            std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
            const ssize_t got = ::readlinkat(dir, name.c_str(), target.data(), target.size());
            if (got < 0) fail(path);
            target.resize(static_cast<std::size_t>(got));
            digest.add_link(path, mode, target);
        } else if (S_ISDIR(info.st_mode)) {
            const FileDescriptor sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.valid()) fail(path);
            digest.add_directory(path, mode);
            add_tree(sub.get(), path, digest);
            if (::fsync(sub.get()) != 0) fail(path);
        } else if (S_ISREG(info.st_mode)) {
            const FileDescriptor file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!file.valid()) fail(path);
            struct stat opened {};
            int error = ::fstat(file.get(), &opened) != 0 ? errno : 0;
            // What was opened is what was described: not a file put there in between.
            if (error == 0 && (opened.st_ino != info.st_ino || opened.st_dev != info.st_dev)) error = ESTALE;
            if (error == 0) {
                digest.add_file(path, opened.st_mode & 07777, static_cast<std::uint64_t>(opened.st_size));
                std::vector<std::uint8_t> buffer(1 << 16);
                for (;;) {
                    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
                    if (got < 0 && errno == EINTR) continue;
                    if (got < 0) error = errno;
                    if (got <= 0) break;
                    digest.add_file_bytes(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
                }
            }
            if (error == 0 && ::fsync(file.get()) != 0) error = errno;
            if (error != 0) throw std::system_error(error, std::generic_category(), path);
        } else {
            digest.add_other(path, mode);  // never extracted
        }
    }
}

}  // namespace

std::string StagingArea::staged_digest(std::string_view failure) const {
    const std::string name = installed_.filename().string();
    try {
        const FileDescriptor bundle(
            ::openat(lock_fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (bundle.get() < 0 || ::fstat(bundle.get(), &info) != 0)
            throw std::system_error(errno, std::generic_category(), name);
        protocol::TreeDigest digest(name, info.st_mode & 07777);
        add_tree(bundle.get(), name, digest);
        if (::fsync(bundle.get()) != 0 || ::fsync(lock_fd_.get()) != 0)
            throw std::system_error(errno, std::generic_category(), name);
        return digest.hex();
    } catch (const protocol::ed25519::LibraryMissing& e) {
        throw InstallError(install_reason(msg_library_missing, {e.what()}));
    } catch (const std::exception& e) {
        throw InstallError(install_reason(failure, {e.what()}));
    }
}
}  // namespace kestrova::updater
