#include "updater/install_steps.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"
#include "platform/file_system.h"
#include "platform/shared_library.h"
#include "protocol/appcast.h"
#include "protocol/delta.h"
#include "protocol/ed25519.h"
#include "protocol/tree_digest.h"
#include "protocol/version_comparator.h"

namespace kestrova::sparkle {

namespace fs = std::filesystem;

namespace {

// --- Messages: one sentence each, shown to the user and written to the update log ---------------

constexpr std::string_view msg_length_unknown = "The update was not installed because the feed gives no length for it.";
constexpr std::string_view msg_length_wrong =
    "The update was not installed because its download is {} bytes where the feed announced {}.";
constexpr std::string_view msg_cannot_read_download =
    "The update was not installed because its download cannot be read ({}).";
constexpr std::string_view msg_no_key =
    "The update was not installed because this application has no SUPublicEDKey to verify it with.";
constexpr std::string_view msg_bad_key =
    "The update was not installed because this application's SUPublicEDKey is not base64 of a 32-byte key.";
constexpr std::string_view msg_no_signature =
    "The update was not installed because the feed gives no signature for it.";
constexpr std::string_view msg_bad_signature_text =
    "The update was not installed because its signature in the feed is not base64 of 64 bytes.";
constexpr std::string_view msg_signature_mismatch =
    "The update was not installed because its signature does not match: it was damaged or not made with this "
    "application's key.";
constexpr std::string_view msg_library_missing = "The update was not installed because {}.";
constexpr std::string_view msg_cannot_stage =
    "The update was not installed because no working directory can be made beside the application ({}).";
constexpr std::string_view msg_unreadable_archive =
    "The update was not installed because its archive cannot be read ({}).";
constexpr std::string_view msg_entry_absolute =
    "The update was not installed because its archive holds an absolute path (\"{}\").";
constexpr std::string_view msg_entry_dots =
    "The update was not installed because its archive holds a path with \".\" or \"..\" or an empty part (\"{}\").";
constexpr std::string_view msg_entry_outside =
    "The update was not installed because its archive holds \"{}\", which is not inside {}.";
constexpr std::string_view msg_entry_type =
    "The update was not installed because its archive holds \"{}\", which is a {}, not a file, directory or link.";
constexpr std::string_view msg_entry_through_link =
    "The update was not installed because its archive writes \"{}\" through a link.";
constexpr std::string_view msg_entry_twice = "The update was not installed because its archive holds \"{}\" twice.";
constexpr std::string_view msg_top_not_directory =
    "The update was not installed because {} in its archive is not a directory.";
constexpr std::string_view msg_no_bundle = "The update was not installed because its archive holds no {}.";
constexpr std::string_view msg_cannot_extract = "The update was not installed because unpacking \"{}\" failed ({}).";
constexpr std::string_view msg_no_info =
    "The update was not installed because the new bundle has no readable Info.plist.";
constexpr std::string_view msg_other_identifier =
    "The update was not installed because the new bundle is \"{}\", not this application (\"{}\").";
constexpr std::string_view msg_version_differs =
    "The update was not installed because the new bundle is version {} where the feed announced {}.";
constexpr std::string_view msg_not_newer =
    "The update was not installed because the new bundle's version {} is not newer than the running {}.";
constexpr std::string_view msg_no_launcher =
    "The update was not installed because the new bundle's launcher \"{}\" is missing or not executable.";
constexpr std::string_view msg_cannot_swap =
    "The update was not installed because the application could not be replaced ({}).";
constexpr std::string_view msg_cannot_mark_ready =
    "The update was not installed because it could not be kept for the next start ({}).";
constexpr std::string_view msg_no_exchange =
    "The update was not installed because this file system cannot swap two directories in one step.";
constexpr std::string_view msg_no_room =
    "The update was not installed because it needs {} MB on {} ({} and a reserve) and {} MB are free: free {} MB "
    "there and try again.";
constexpr std::string_view msg_no_room_unpacking =
    "The update was not installed because unpacking it would leave less than {} MB free on {}: free {} MB there and "
    "try again.";
constexpr std::string_view msg_staged_changed =
    "The update was not installed because its staged files changed after they were checked.";
constexpr std::string_view msg_delta_unusable = "The update's delta could not be used because {}.";
constexpr std::string_view msg_cannot_read_staged =
    "The update was not installed because its staged files cannot be read ({}).";

std::string errno_text(int error) { return std::generic_category().message(error); }

// --- libarchive, opened on first use ----------------------------------------------------------------

// Loading libarchive pulls in a dozen libraries (compression, XML, ICU): a few milliseconds that
// no launch should pay for an install it rarely makes. Only the header's types are used here.
struct Libarchive {
    decltype(&::archive_read_new) read_new;
    decltype(&::archive_read_support_filter_gzip) support_filter_gzip;
    decltype(&::archive_read_support_format_tar) support_format_tar;
    decltype(&::archive_read_open_fd) open_fd;
    decltype(&::archive_read_next_header) next_header;
    decltype(&::archive_read_data_block) read_data_block;
    decltype(&::archive_read_free) read_free;
    decltype(&::archive_write_disk_new) write_disk_new;
    decltype(&::archive_write_disk_set_options) write_disk_set_options;
    decltype(&::archive_write_header) write_header;
    decltype(&::archive_write_data_block) write_data_block;
    decltype(&::archive_write_finish_entry) write_finish_entry;
    decltype(&::archive_write_close) write_close;
    decltype(&::archive_write_free) write_free;
    decltype(&::archive_error_string) error_string;
    decltype(&::archive_entry_pathname) entry_pathname;
    decltype(&::archive_entry_set_pathname) entry_set_pathname;
    decltype(&::archive_entry_filetype) entry_filetype;
    decltype(&::archive_entry_hardlink) entry_hardlink;
    decltype(&::archive_entry_perm) entry_perm;
    decltype(&::archive_entry_set_perm) entry_set_perm;
};

bool fill(const platform::SharedLibrary& l, Libarchive& a) {
    return l.resolve("archive_read_new", a.read_new) &&
           l.resolve("archive_read_support_filter_gzip", a.support_filter_gzip) &&
           l.resolve("archive_read_support_format_tar", a.support_format_tar) &&
           l.resolve("archive_read_open_fd", a.open_fd) && l.resolve("archive_read_next_header", a.next_header) &&
           l.resolve("archive_read_data_block", a.read_data_block) && l.resolve("archive_read_free", a.read_free) &&
           l.resolve("archive_write_disk_new", a.write_disk_new) &&
           l.resolve("archive_write_disk_set_options", a.write_disk_set_options) &&
           l.resolve("archive_write_header", a.write_header) &&
           l.resolve("archive_write_data_block", a.write_data_block) &&
           l.resolve("archive_write_finish_entry", a.write_finish_entry) &&
           l.resolve("archive_write_close", a.write_close) && l.resolve("archive_write_free", a.write_free) &&
           l.resolve("archive_error_string", a.error_string) && l.resolve("archive_entry_pathname", a.entry_pathname) &&
           l.resolve("archive_entry_set_pathname", a.entry_set_pathname) &&
           l.resolve("archive_entry_filetype", a.entry_filetype) &&
           l.resolve("archive_entry_hardlink", a.entry_hardlink) && l.resolve("archive_entry_perm", a.entry_perm) &&
           l.resolve("archive_entry_set_perm", a.entry_set_perm);
}

constinit platform::LazyLibrary<Libarchive> libarchive(platform::LoadableLibrary::archive, fill);

std::string error_of(const Libarchive& lib, archive* a) {
    const char* text = lib.error_string(a);
    return text != nullptr ? text : "unknown error";
}

// --- Names and removal -------------------------------------------------------------------------------

// A bundle's staging areas are named by bundle_layout, which a start moved into one reads too.
std::string staging_prefix(const fs::path& installed) {
    return kestrova::bundle_layout::staging_prefix(installed.filename().string());
}

using kestrova::bundle_layout::is_staging_name;

// --- Free space -------------------------------------------------------------------------------------

// A packaged Java application's archive holds JARs and a runtime image that are compressed already:
// its unpacked tree is rarely more than twice its size. Three times leaves a margin.
constexpr std::uint64_t unpacked_per_archive_byte = 3;
constexpr std::uint64_t most_reserved_bytes = 100u << 20;

// What the file system holding `fd` has free for this user, and what an install leaves free there
// for everything else: 5% of its size, at most 100 MiB.
struct Room {
    std::uint64_t available = 0;
    std::uint64_t reserve = 0;
};

std::optional<Room> room_at(int fd) {
    struct statvfs info {};
    if (::fstatvfs(fd, &info) != 0) return std::nullopt;
    const std::uint64_t total = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
    return Room{static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize, std::min(total / 20, most_reserved_bytes)};
}

std::string megabytes(std::uint64_t bytes) { return std::to_string(bytes / 1'000'000 + (bytes % 1'000'000 != 0)); }

// --- The staged tree's digest -------------------------------------------------------------------------

// Adds the tree below the open directory `dir` to `digest`, in name order: each entry's path, type
// and permission bits, and a link's target or a file's size and bytes; each file and directory is
// also put on disk on the way. Every step goes through descriptors and never follows a link, so
// what is hashed is what a later exchange through the same descriptors moves. Throws std::system_error.
void add_tree(int dir, const std::string& relative, TreeDigest& digest) {
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

fs::path directory_of(const fs::path& path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

// Removes a tree whose directories may be read-only (a bundle can ship them so): they are made
// writable first, without following any link.
void remove_tree(const fs::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    ::chmod(root.c_str(), 0700);
    fs::remove_all(root, ec);
}

// The path of an archive entry, relative to the staging directory, once checked: no absolute path,
// no ".", ".." or empty part (a single leading "./" is allowed, as tar writes it), and inside
// `bundle_name`. Throws InstallError.
std::string checked_entry_path(std::string_view raw, std::string_view bundle_name) {
    if (!raw.empty() && raw.front() == '/') throw InstallError(install_reason(msg_entry_absolute, {raw}));
    std::string_view path = raw;
    if (path.starts_with("./")) path.remove_prefix(2);
    if (path.ends_with('/')) path.remove_suffix(1);
    std::string out;
    std::size_t from = 0;
    bool first = true;
    while (true) {
        const auto slash = path.find('/', from);
        const std::string_view part = path.substr(from, slash == std::string_view::npos ? slash : slash - from);
        if (part.empty() || part == "." || part == "..") throw InstallError(install_reason(msg_entry_dots, {raw}));
        if (first && part != bundle_name) throw InstallError(install_reason(msg_entry_outside, {raw, bundle_name}));
        first = false;
        if (!out.empty()) out += '/';
        out += part;
        if (slash == std::string_view::npos) break;
        from = slash + 1;
    }
    return out;
}

const char* type_name(mode_t type) {
    switch (type) {
        case AE_IFCHR:
            return "character device";
        case AE_IFBLK:
            return "block device";
        case AE_IFIFO:
            return "named pipe";
        case AE_IFSOCK:
            return "socket";
        default:
            return "special file";
    }
}

}  // namespace

std::string install_reason(std::string_view pattern, std::initializer_list<std::string_view> values) {
    return fill_placeholders(pattern, values, [](std::string_view value) {
        std::string out(value);
        for (char& c : out) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
        return out;
    });
}

std::string info_value(const InfoDictionary& info, std::string_view key) {
    const auto found = info.find(key);
    return found == info.end() ? std::string() : found->second;
}

InfoLookup lookup_in(const InfoDictionary& info) {
    return [&info](std::string_view key) -> std::optional<std::string> {
        const auto found = info.find(key);
        if (found == info.end()) return std::nullopt;
        return found->second;
    };
}

DownloadedArchive::DownloadedArchive(const fs::path& path) {
    // Without following a link, and of the file itself: what is verified is what is then unpacked.
    fd_ = FileDescriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    int error = !fd_.valid() || ::fstat(fd_.get(), &info) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(info.st_mode)) error = EINVAL;
    if (error != 0) throw InstallError(install_reason(msg_cannot_read_download, {errno_text(error)}));
    size_ = static_cast<std::uint64_t>(info.st_size);
}

void verify_update_archive(const fs::path& archive, std::optional<std::string_view> public_key,
                           std::optional<std::string_view> signature, std::optional<std::uint64_t> length) {
    if (!length) throw InstallError(std::string(msg_length_unknown));
    verify_update_archive(DownloadedArchive(archive), public_key, signature, length);
}

void verify_update_archive(const DownloadedArchive& archive, std::optional<std::string_view> public_key,
                           std::optional<std::string_view> signature, std::optional<std::uint64_t> length) {
    namespace ed = ed25519;
    // The cheap checks first: a download of the wrong size is refused before anything is hashed.
    if (!length) throw InstallError(std::string(msg_length_unknown));
    if (archive.size() != *length)
        throw InstallError(install_reason(msg_length_wrong, {std::to_string(archive.size()), std::to_string(*length)}));
    if (!public_key) throw InstallError(std::string(msg_no_key));
    if (!signature) throw InstallError(std::string(msg_no_signature));
    try {
        const auto key = ed::public_key_from_base64(*public_key);
        if (!key) throw InstallError(std::string(msg_bad_key));
        const auto expected = ed::signature_from_base64(*signature);
        if (!expected) throw InstallError(std::string(msg_bad_signature_text));
        const ed::MappedFile bytes(archive.fd());
        // The size is checked again on the mapping: the file is the caller's, but cheap to be sure.
        if (bytes.bytes().size() != *length)
            throw InstallError(
                install_reason(msg_length_wrong, {std::to_string(bytes.bytes().size()), std::to_string(*length)}));
        if (!ed::verify(*key, bytes.bytes(), *expected)) throw InstallError(std::string(msg_signature_mismatch));
    } catch (const ed::LibraryMissing& e) {
        throw InstallError(install_reason(msg_library_missing, {e.what()}));
    } catch (const std::system_error& e) {
        throw InstallError(install_reason(msg_cannot_read_download, {e.code().message()}));
    }
}

namespace {

// Throws NoRoomError when `bytes` (what the update writes, `what` saying what that is) and the
// reserve do not fit in what the file system at `dir_fd` has free.
void check_room(int dir_fd, const fs::path& folder, std::uint64_t bytes, std::string_view what) {
    const auto room = dir_fd >= 0 ? room_at(dir_fd) : std::nullopt;
    if (!room) return;  // not measurable: the count while writing still stops a full disk
    const std::uint64_t needed = bytes > UINT64_MAX - room->reserve ? UINT64_MAX : bytes + room->reserve;
    if (needed <= room->available) return;
    throw NoRoomError(install_reason(msg_no_room, {megabytes(needed), folder.string(), what, megabytes(room->available),
                                                   megabytes(needed - room->available)}));
}

void check_room_beside(const fs::path& installed, std::uint64_t bytes, std::string_view what) {
    const fs::path parent = directory_of(installed);
    const FileDescriptor fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    check_room(fd.get(), parent, bytes, what);
}

}  // namespace

void check_room_for_update(const fs::path& installed, std::optional<std::uint64_t> known_length) {
    if (!known_length) throw InstallError(std::string(msg_length_unknown));
    // The download and the tree unpacked from it, while both exist.
    const std::uint64_t length = *known_length;
    const std::uint64_t most = UINT64_MAX / (1 + unpacked_per_archive_byte);
    check_room_beside(installed, length > most ? UINT64_MAX : length * (1 + unpacked_per_archive_byte),
                      "its download and its unpacked files");
}

void check_room_for_delta_download(const fs::path& installed, std::uint64_t length) {
    check_room_beside(installed, length, "its delta");
}

void check_staged_bundle(const fs::path& staged, const InfoDictionary& running, std::string_view item_version,
                         const InfoReader& read_info) {
    const auto info = read_info(kestrova::bundle_layout::info_plist_of(staged));
    if (!info) throw InstallError(std::string(msg_no_info));
    const BundleFacts facts = read_bundle_facts(staged, lookup_in(*info));
    const std::string running_identifier = info_value(running, info_keys::bundle_identifier);
    if (facts.identifier.empty() || facts.identifier != running_identifier)
        throw InstallError(install_reason(msg_other_identifier, {facts.identifier, running_identifier}));
    if (facts.version.empty() || compare_versions(facts.version, item_version) != Ordering::same)
        throw InstallError(install_reason(msg_version_differs, {facts.version, item_version}));
    const std::string running_version = info_value(running, info_keys::bundle_version);
    if (compare_versions(running_version, facts.version) != Ordering::ascending)
        throw InstallError(install_reason(msg_not_newer, {facts.version, running_version}));
    if (!facts.launcher)
        throw InstallError(install_reason(msg_no_launcher, {std::string("Contents/MacOS/") +
                                                            info_value(*info, info_keys::bundle_executable)}));
}

bool can_replace(const fs::path& installed) {
    // Moving a directory to another parent rewrites its "..", so the bundle itself must be writable,
    // as well as the directory that holds it.
    return ::access(installed.c_str(), W_OK | X_OK) == 0 && ::access(directory_of(installed).c_str(), W_OK | X_OK) == 0;
}

std::size_t clean_install_leftovers(const fs::path& installed) {
    // Each one taken is removed as it goes out of scope.
    return StagingArea::take_left(installed).size();
}

std::vector<std::unique_ptr<StagingArea>> StagingArea::take_left(const fs::path& installed,
                                                                 const std::function<void(std::string_view)>& note) {
    std::vector<std::unique_ptr<StagingArea>> taken;
    const auto tell = [&note](const fs::path& path, const std::string& why) {
        if (note) note("Left alone " + path.string() + ": " + why + ", so it is neither installed nor removed");
    };
    try {
        const fs::path parent = directory_of(installed);
        const std::string mine = staging_prefix(installed);
        std::error_code ec;
        std::vector<fs::path> candidates;
        for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
            if (is_staging_name(it->path().filename().string(), mine)) candidates.push_back(it->path());
        }
        const uid_t me = ::geteuid();
        for (const auto& candidate : candidates) {
            FileDescriptor fd(::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd.valid()) {
                const int error = errno;
                tell(candidate, error == ELOOP || error == ENOTDIR ? std::string("it is a link or not a directory")
                                                                   : "it cannot be opened (" + errno_text(error) + ")");
                continue;
            }
            // Only what this user made with mkdtemp (owner, 0700) can hold what this user verified:
            // anything another user could make or write into is someone else's, however it is named.
            struct stat info {};
            if (::fstat(fd.get(), &info) != 0 || info.st_uid != me || (info.st_mode & 07777) != 0700) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
                tell(candidate,
                     "it is not this user's own (owner " + std::to_string(info.st_uid) + ", mode " + mode + ")");
                continue;
            }
            // An installer at work holds the lock; a crashed one held it until it died.
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
            taken.push_back(std::unique_ptr<StagingArea>(new StagingArea(installed, candidate, std::move(fd))));
        }
    } catch (...) {
        // Out of memory at worst: what was taken so far is still returned, the rest waits.
    }
    return taken;
}

StagingArea::StagingArea(const fs::path& installed) : installed_(installed) {
    std::string name = (directory_of(installed) / (staging_prefix(installed) + "XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) throw InstallError(install_reason(msg_cannot_stage, {errno_text(errno)}));
    path_ = name;
    lock_fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Another start's clean-up may have taken it between mkdtemp and the lock, or, in a folder others
    // may write to, someone may have put another directory in its place: then it is not ours.
    struct stat info {};
    int error = 0;
    if (!lock_fd_.valid() || ::flock(lock_fd_.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(lock_fd_.get(), &info) != 0)
        error = errno;
    else if (info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700)
        error = EPERM;
    if (error != 0) {
        lock_fd_.close();
        throw InstallError(install_reason(msg_cannot_stage, {errno_text(error)}));
    }
}

StagingArea::~StagingArea() {
    // The tree goes while the lock is held; the lock goes with lock_fd_ after it.
    if (lock_fd_.valid()) remove_tree(path_);
}

void StagingArea::leave_on_disk() { lock_fd_.close(); }

void StagingArea::build_from_delta(const DownloadedArchive& delta, std::string_view from_version) {
    const FileDescriptor installed(::open(installed_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (installed.get() < 0)
        throw InstallError(
            install_reason(msg_delta_unusable, {"the installed bundle cannot be opened (" + errno_text(errno) + ")"}));
    try {
        // Every file is written, the unchanged ones as copies: the new tree must stand whole beside
        // the old one, which stays as the way back.
        const auto make_room = [&](const DeltaManifest& manifest) {
            check_room(lock_fd_.get(), path_, delta_written_bytes(manifest), "the files its delta builds");
        };
        apply_delta(delta.fd(), installed.get(), from_version, lock_fd_.get(), installed_.filename().string(), {},
                    make_room);
    } catch (const DeltaError& e) {
        throw InstallError(install_reason(msg_delta_unusable, {e.what()}));
    } catch (const ed25519::LibraryMissing& e) {
        throw InstallError(install_reason(msg_delta_unusable, {e.what()}));
    }
}

std::string StagingArea::staged_digest(std::string_view failure) const {
    const std::string name = installed_.filename().string();
    try {
        const FileDescriptor bundle(
            ::openat(lock_fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (bundle.get() < 0 || ::fstat(bundle.get(), &info) != 0)
            throw std::system_error(errno, std::generic_category(), name);
        TreeDigest digest(name, info.st_mode & 07777);
        add_tree(bundle.get(), name, digest);
        if (::fsync(bundle.get()) != 0 || ::fsync(lock_fd_.get()) != 0)
            throw std::system_error(errno, std::generic_category(), name);
        return digest.hex();
    } catch (const ed25519::LibraryMissing& e) {
        throw InstallError(install_reason(msg_library_missing, {e.what()}));
    } catch (const std::exception& e) {
        throw InstallError(install_reason(failure, {e.what()}));
    }
}

void StagingArea::mark_ready(std::string_view version) {
    std::error_code ignored;
    fs::remove(download_path(), ignored);
    // The digest of the staged tree goes into the marker, so that whoever installs it later checks
    // it is still what was verified. Its walk puts every staged file and directory on disk, and
    // the marker follows them: written beside, flushed, then renamed, a marker is either absent or
    // whole, and a power cut cannot leave a ready mark on a bundle whose files were never written.
    const std::string digest = staged_digest(msg_cannot_mark_ready);
    constexpr const char* partial = "update.ready.partial";
    FileDescriptor fd(::openat(lock_fd_.get(), partial, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) throw InstallError(install_reason(msg_cannot_mark_ready, {errno_text(errno)}));
    const std::string text = std::string(version) + "\n" + digest + "\n";
    const bool written = ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         ::fsync(fd.get()) == 0;
    const int error = errno;
    fd.close();  // flushed above, so its result tells nothing more
    if (!written || ::renameat(lock_fd_.get(), partial, lock_fd_.get(), ready_name) != 0) {
        const int cause = written ? errno : error;
        ::unlinkat(lock_fd_.get(), partial, 0);
        throw InstallError(install_reason(msg_cannot_mark_ready, {errno_text(cause)}));
    }
    ::fsync(lock_fd_.get());
}

std::optional<std::pair<std::string, std::string>> parse_ready_marker(std::string_view text) {
    constexpr std::size_t digest_size = 64;
    // "VERSION\nDIGEST\n"; anything else (empty, cut short, too long, from before digests) is not ready.
    const auto end = text.find('\n');
    if (end == 0 || end == std::string_view::npos || end > max_version_bytes ||
        text.size() != end + 1 + digest_size + 1 || text.back() != '\n')
        return std::nullopt;
    std::string version(text.substr(0, end));
    std::string digest(text.substr(end + 1, digest_size));
    for (const char c : version)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    if (!std::all_of(digest.begin(), digest.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    return std::pair{std::move(version), std::move(digest)};
}

std::optional<std::pair<std::string, std::string>> StagingArea::read_marker() const {
    const FileDescriptor fd(::openat(lock_fd_.get(), ready_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    // One byte more than the longest marker, so that a longer file is seen to be too long.
    char buffer[max_version_bytes + 1 + 64 + 2];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) return std::nullopt;
    return parse_ready_marker(std::string_view(buffer, static_cast<std::size_t>(got)));
}

std::optional<std::string> StagingArea::ready_version() const {
    auto marker = read_marker();
    if (!marker) return std::nullopt;
    return std::move(marker->first);
}

void StagingArea::extract(const fs::path& archive_path) { extract(DownloadedArchive(archive_path)); }

void StagingArea::extract(const DownloadedArchive& download) {
    const Libarchive* lib = libarchive.get();
    if (lib == nullptr)
        throw InstallError(
            install_reason(msg_library_missing,
                           {std::string(platform::library_file(platform::LoadableLibrary::archive).description) +
                            " cannot be loaded"}));
    const std::string bundle_name = installed_.filename().string();
    const std::string folder = directory_of(installed_).string();

    const std::unique_ptr<archive, decltype(lib->read_free)> reader(lib->read_new(), lib->read_free);
    const std::unique_ptr<archive, decltype(lib->write_free)> writer(lib->write_disk_new(), lib->write_free);
    if (!reader || !writer) throw InstallError(install_reason(msg_unreadable_archive, {"out of memory"}));
    lib->support_filter_gzip(reader.get());
    lib->support_format_tar(reader.get());
    // libarchive's own guards on top of the checks below: no "..", nothing through a link on disk,
    // never over an existing file. Owners, ACLs, extended attributes and file flags are not restored.
    lib->write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_NO_OVERWRITE | ARCHIVE_EXTRACT_PERM |
                                                  ARCHIVE_EXTRACT_TIME);
    // The very descriptor whose bytes were verified, read again from its start.
    if (::lseek(download.fd(), 0, SEEK_SET) != 0)
        throw InstallError(install_reason(msg_unreadable_archive, {errno_text(errno)}));
    if (lib->open_fd(reader.get(), download.fd(), 1 << 16) != ARCHIVE_OK)
        throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));

    // The unpacked tree is counted against the free space as it grows: an archive that unpacks to
    // far more than its size (a signed one, but a mistake) stops before the disk is full.
    const std::uint64_t expected = download.size() * unpacked_per_archive_byte;
    std::uint64_t written = 0;
    const auto make_room = [&](std::size_t size) {
        const auto room = room_at(lock_fd_.get());
        if (!room || room->available >= room->reserve + size) return;
        const std::uint64_t still = std::max<std::uint64_t>(expected > written ? expected - written : 0, size);
        throw InstallError(install_reason(msg_no_room_unpacking, {megabytes(room->reserve), folder,
                                                                  megabytes(still + room->reserve - room->available)}));
    };

    std::set<std::string> seen;
    std::set<std::string> links;
    bool top_seen = false;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = lib->next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK)
            throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));

        const char* raw_name = lib->entry_pathname(entry);
        if (raw_name == nullptr)
            throw InstallError(install_reason(msg_unreadable_archive, {"an entry without a readable name"}));
        // A copy: setting the entry's path below frees the buffer the raw name points into.
        const std::string raw = raw_name;
        const std::string path = checked_entry_path(raw, bundle_name);
        const mode_t type = lib->entry_filetype(entry);
        if (lib->entry_hardlink(entry) != nullptr)
            throw InstallError(install_reason(msg_entry_type, {raw, "hard link"}));
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
            throw InstallError(install_reason(msg_entry_type, {raw, type_name(type)}));
        if (path == bundle_name) {
            if (type != AE_IFDIR) throw InstallError(install_reason(msg_top_not_directory, {bundle_name}));
            top_seen = true;
        }
        for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            if (links.count(path.substr(0, slash)) != 0)
                throw InstallError(install_reason(msg_entry_through_link, {raw}));
        if (!seen.insert(path).second) throw InstallError(install_reason(msg_entry_twice, {raw}));
        if (type == AE_IFLNK) links.insert(path);

        const std::string target = (path_ / path).string();
        lib->entry_set_pathname(entry, target.c_str());
        lib->entry_set_perm(entry, lib->entry_perm(entry) & 0777);
        if (lib->write_header(writer.get(), entry) != ARCHIVE_OK)
            throw InstallError(install_reason(msg_cannot_extract, {raw, error_of(*lib, writer.get())}));
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int got = lib->read_data_block(reader.get(), &block, &size, &offset);
            if (got == ARCHIVE_EOF) break;
            if (got != ARCHIVE_OK)
                throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));
            make_room(size);
            if (lib->write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK)
                throw InstallError(install_reason(msg_cannot_extract, {raw, error_of(*lib, writer.get())}));
            written += size;
        }
        if (lib->write_finish_entry(writer.get()) != ARCHIVE_OK)
            throw InstallError(install_reason(msg_cannot_extract, {raw, error_of(*lib, writer.get())}));
    }
    // Closing sets the directories' deferred modes and times.
    if (lib->write_close(writer.get()) != ARCHIVE_OK)
        throw InstallError(install_reason(msg_cannot_extract, {bundle_name, error_of(*lib, writer.get())}));
    struct stat info {};
    if (!top_seen || ::lstat(staged_bundle().c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw InstallError(install_reason(msg_no_bundle, {bundle_name}));
}

void StagingArea::swap_into_place() {
    // The staged tree is put on disk before the exchange (each file and directory of it, not the
    // whole file system): otherwise a power cut just after it could leave the installed path naming
    // a bundle whose files were never written. The same walk gives the tree's digest: a ready
    // update is installed only while it is still the tree that was checked and marked.
    const std::string digest = staged_digest(msg_cannot_read_staged);
    const bool marked = ::faccessat(lock_fd_.get(), ready_name, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    if (marked) {
        const auto marker = read_marker();
        if (!marker || marker->second != digest) throw InstallError(std::string(msg_staged_changed));
    }
    // Through the locked directory's descriptor: whatever its path names by now, the bundle moved
    // is the one just hashed.
    const std::string name = installed_.filename().string();
    if (const int error = platform::exchange_entries(lock_fd_.get(), name.c_str(), installed_.c_str()); error != 0) {
        if (error == platform::exchange_not_supported) throw InstallError(std::string(msg_no_exchange));
        throw InstallError(install_reason(msg_cannot_swap, {errno_text(error)}));
    }
    // The staging directory now holds the old bundle: it is no longer a ready update (were the
    // process killed before removing it, the next start must not take the old bundle for one).
    ::unlinkat(lock_fd_.get(), ready_name, 0);
    // The exchange itself is made durable; a failure here changes nothing already done.
    sync_directory(directory_of(installed_));
}

}  // namespace kestrova::sparkle
