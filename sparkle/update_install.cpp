#include "sparkle/update_install.h"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/text.h"
#include "platform/linux/dynamic_library.h"
#include "sparkle/appcast.h"
#include "sparkle/ed25519.h"
#include "sparkle/version_comparator.h"

namespace kestrova::sparkle {

namespace fs = std::filesystem;

namespace {

// --- Messages: one sentence each, shown to the user and written to the update log ---------------

constexpr std::string_view msg_length_unknown = "The update was not installed because the feed gives no length for it.";
constexpr std::string_view msg_length_wrong =
    "The update was not installed because its download is {} bytes where the feed announced {}.";
constexpr std::string_view msg_cannot_read_download = "The update was not installed because its download cannot be read ({}).";
constexpr std::string_view msg_no_key =
    "The update was not installed because this application has no SUPublicEDKey to verify it with.";
constexpr std::string_view msg_bad_key =
    "The update was not installed because this application's SUPublicEDKey is not base64 of a 32-byte key.";
constexpr std::string_view msg_no_signature = "The update was not installed because the feed gives no signature for it.";
constexpr std::string_view msg_bad_signature_text =
    "The update was not installed because its signature in the feed is not base64 of 64 bytes.";
constexpr std::string_view msg_signature_mismatch =
    "The update was not installed because its signature does not match: it was damaged or not made with this "
    "application's key.";
constexpr std::string_view msg_library_missing = "The update was not installed because {}.";
constexpr std::string_view msg_cannot_stage =
    "The update was not installed because no working directory can be made beside the application ({}).";
constexpr std::string_view msg_unreadable_archive = "The update was not installed because its archive cannot be read ({}).";
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
constexpr std::string_view msg_no_info = "The update was not installed because the new bundle has no readable Info.plist.";
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


std::string errno_text(int error) { return std::generic_category().message(error); }

// --- libarchive, opened on first use ----------------------------------------------------------------

// Loading libarchive pulls in a dozen libraries (compression, XML, ICU): a few milliseconds that
// no launch should pay for an install it rarely makes. Only the header's types are used here.
struct Libarchive {
    decltype(&::archive_read_new) read_new;
    decltype(&::archive_read_support_filter_gzip) support_filter_gzip;
    decltype(&::archive_read_support_format_tar) support_format_tar;
    decltype(&::archive_read_open_filename) open_filename;
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

constexpr const char* libarchive_name = "libarchive.so.13";

const Libarchive* libarchive() {
    static Libarchive api{};
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        void* handle = dlopen(libarchive_name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        using platform::linux_backend::resolve;
        Libarchive& a = api;
        loaded = resolve(handle, "archive_read_new", a.read_new) &&
                 resolve(handle, "archive_read_support_filter_gzip", a.support_filter_gzip) &&
                 resolve(handle, "archive_read_support_format_tar", a.support_format_tar) &&
                 resolve(handle, "archive_read_open_filename", a.open_filename) &&
                 resolve(handle, "archive_read_next_header", a.next_header) &&
                 resolve(handle, "archive_read_data_block", a.read_data_block) &&
                 resolve(handle, "archive_read_free", a.read_free) &&
                 resolve(handle, "archive_write_disk_new", a.write_disk_new) &&
                 resolve(handle, "archive_write_disk_set_options", a.write_disk_set_options) &&
                 resolve(handle, "archive_write_header", a.write_header) &&
                 resolve(handle, "archive_write_data_block", a.write_data_block) &&
                 resolve(handle, "archive_write_finish_entry", a.write_finish_entry) &&
                 resolve(handle, "archive_write_close", a.write_close) &&
                 resolve(handle, "archive_write_free", a.write_free) &&
                 resolve(handle, "archive_error_string", a.error_string) &&
                 resolve(handle, "archive_entry_pathname", a.entry_pathname) &&
                 resolve(handle, "archive_entry_set_pathname", a.entry_set_pathname) &&
                 resolve(handle, "archive_entry_filetype", a.entry_filetype) &&
                 resolve(handle, "archive_entry_hardlink", a.entry_hardlink) &&
                 resolve(handle, "archive_entry_perm", a.entry_perm) &&
                 resolve(handle, "archive_entry_set_perm", a.entry_set_perm);
    });
    return loaded ? &api : nullptr;
}

std::string error_of(const Libarchive& lib, archive* a) {
    const char* text = lib.error_string(a);
    return text != nullptr ? text : "unknown error";
}

// --- Names and removal -------------------------------------------------------------------------------

constexpr std::string_view staging_marker = "kestrova-update-";

// ".NAME.app.kestrova-update-" beside NAME.app, or ".kestrova-update-" when that and the six
// characters of mkdtemp's tail would pass the 255-byte file-name limit.
std::string staging_prefix(const fs::path& installed) {
    // Appended piece by piece: the chain of operator+ makes g++ 12 at -O3 warn falsely (-Wrestrict).
    const std::string name = installed.filename().string();
    std::string prefix = ".";
    if (prefix.size() + name.size() + 1 + staging_marker.size() + 6 <= 255) {
        prefix += name;
        prefix += '.';
    }
    prefix += staging_marker;
    return prefix;
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
        case AE_IFCHR: return "character device";
        case AE_IFBLK: return "block device";
        case AE_IFIFO: return "named pipe";
        case AE_IFSOCK: return "socket";
        default: return "special file";
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

void verify_update_archive(const fs::path& archive, std::optional<std::string_view> public_key,
                           std::optional<std::string_view> signature, std::optional<std::uint64_t> length) {
    namespace ed = ed25519;
    // The cheap checks first: a download of the wrong size is refused before anything is hashed.
    if (!length) throw InstallError(std::string(msg_length_unknown));
    struct stat info {};
    if (::lstat(archive.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        throw InstallError(install_reason(msg_cannot_read_download, {errno_text(errno != 0 ? errno : EINVAL)}));
    if (static_cast<std::uint64_t>(info.st_size) != *length)
        throw InstallError(install_reason(msg_length_wrong, {std::to_string(info.st_size), std::to_string(*length)}));
    if (!public_key) throw InstallError(std::string(msg_no_key));
    if (!signature) throw InstallError(std::string(msg_no_signature));
    try {
        const auto key = ed::public_key_from_base64(*public_key);
        if (!key) throw InstallError(std::string(msg_bad_key));
        const auto expected = ed::signature_from_base64(*signature);
        if (!expected) throw InstallError(std::string(msg_bad_signature_text));
        const ed::MappedFile bytes(archive);
        // The size is checked again on the mapping: the file is the caller's, but cheap to be sure.
        if (bytes.bytes().size() != *length)
            throw InstallError(install_reason(msg_length_wrong, {std::to_string(bytes.bytes().size()), std::to_string(*length)}));
        if (!ed::verify(*key, bytes.bytes(), *expected)) throw InstallError(std::string(msg_signature_mismatch));
    } catch (const ed::LibraryMissing& e) {
        throw InstallError(install_reason(msg_library_missing, {e.what()}));
    } catch (const std::system_error& e) {
        throw InstallError(install_reason(msg_cannot_read_download, {e.code().message()}));
    }
}

void check_staged_bundle(const fs::path& staged, const InfoDictionary& running, std::string_view item_version,
                         const InfoReader& read_info) {
    const auto info = read_info(staged / "Contents" / "Info.plist");
    if (!info) throw InstallError(std::string(msg_no_info));
    const std::string identifier = info_value(*info, "CFBundleIdentifier");
    const std::string running_identifier = info_value(running, "CFBundleIdentifier");
    if (identifier.empty() || identifier != running_identifier)
        throw InstallError(install_reason(msg_other_identifier, {identifier, running_identifier}));
    const std::string version = info_value(*info, "CFBundleVersion");
    if (version.empty() || compare_versions(version, item_version) != Ordering::same)
        throw InstallError(install_reason(msg_version_differs, {version, item_version}));
    const std::string running_version = info_value(running, "CFBundleVersion");
    if (compare_versions(running_version, version) != Ordering::ascending)
        throw InstallError(install_reason(msg_not_newer, {version, running_version}));
    const std::string executable = info_value(*info, "CFBundleExecutable");
    const fs::path launcher = staged / "Contents" / "MacOS" / executable;
    struct stat launcher_info {};
    if (executable.empty() || executable.find('/') != std::string::npos || executable == "." || executable == ".." ||
        ::lstat(launcher.c_str(), &launcher_info) != 0 || !S_ISREG(launcher_info.st_mode) ||
        (launcher_info.st_mode & S_IXUSR) == 0)
        throw InstallError(install_reason(msg_no_launcher, {std::string("Contents/MacOS/") + executable}));
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

std::vector<std::unique_ptr<StagingArea>> StagingArea::take_left(const fs::path& installed) {
    std::vector<std::unique_ptr<StagingArea>> taken;
    try {
        const fs::path parent = directory_of(installed);
        const std::string mine = staging_prefix(installed);
        const std::string shared = "." + std::string(staging_marker);
        std::error_code ec;
        std::vector<fs::path> candidates;
        for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.starts_with(mine) || name.starts_with(shared)) candidates.push_back(it->path());
        }
        for (const auto& candidate : candidates) {
            const int fd = ::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) continue;  // not a directory (or a link to one): not ours
            // An installer at work holds the lock; a crashed one held it until it died.
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::close(fd);
                continue;
            }
            taken.push_back(std::unique_ptr<StagingArea>(new StagingArea(installed, candidate, fd)));
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
    lock_fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Another start's clean-up may have taken it between mkdtemp and the lock: then it is not ours.
    if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        lock_fd_ = -1;
        throw InstallError(install_reason(msg_cannot_stage, {errno_text(error)}));
    }
}

StagingArea::~StagingArea() {
    if (lock_fd_ < 0) return;  // left on disk
    remove_tree(path_);
    ::close(lock_fd_);
}

void StagingArea::leave_on_disk() {
    if (lock_fd_ >= 0) ::close(std::exchange(lock_fd_, -1));
}

void StagingArea::mark_ready(std::string_view version) {
    std::error_code ignored;
    fs::remove(download_path(), ignored);
    // Written beside, flushed, then renamed: a marker is either absent or whole, and it reaches the
    // disk after the staged files it vouches for (syncfs), so a power cut cannot leave a ready mark
    // on a bundle whose files were never written.
    const fs::path partial = path_ / "update.ready.partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw InstallError(install_reason(msg_cannot_mark_ready, {errno_text(errno)}));
    const std::string text = std::string(version) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         ::syncfs(fd) == 0 && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(partial.c_str(), ready_marker().c_str()) != 0) {
        const int cause = written ? errno : error;
        fs::remove(partial, ignored);
        throw InstallError(install_reason(msg_cannot_mark_ready, {errno_text(cause)}));
    }
    ::fsync(lock_fd_);
}

std::optional<std::string> StagingArea::ready_version() const {
    const int fd = ::open(ready_marker().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[max_version_bytes + 2];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 1 || buffer[got - 1] != '\n') return std::nullopt;  // empty, cut short or too long
    std::string version(buffer, static_cast<std::size_t>(got - 1));
    for (const char c : version)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    return version;
}

void StagingArea::extract(const fs::path& archive_path) {
    const Libarchive* lib = libarchive();
    if (lib == nullptr)
        throw InstallError(install_reason(msg_library_missing, {"libarchive (libarchive.so.13, Debian package libarchive13) "
                                                      "cannot be loaded"}));
    const std::string bundle_name = installed_.filename().string();

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
    if (lib->open_filename(reader.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK)
        throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));

    std::set<std::string> seen;
    std::set<std::string> links;
    bool top_seen = false;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = lib->next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));

        const char* raw = lib->entry_pathname(entry);
        if (raw == nullptr) throw InstallError(install_reason(msg_unreadable_archive, {"an entry without a readable name"}));
        const std::string path = checked_entry_path(raw, bundle_name);
        const mode_t type = lib->entry_filetype(entry);
        if (lib->entry_hardlink(entry) != nullptr) throw InstallError(install_reason(msg_entry_type, {raw, "hard link"}));
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
            throw InstallError(install_reason(msg_entry_type, {raw, type_name(type)}));
        if (path == bundle_name) {
            if (type != AE_IFDIR) throw InstallError(install_reason(msg_top_not_directory, {bundle_name}));
            top_seen = true;
        }
        for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            if (links.count(path.substr(0, slash)) != 0) throw InstallError(install_reason(msg_entry_through_link, {raw}));
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
            if (got != ARCHIVE_OK) throw InstallError(install_reason(msg_unreadable_archive, {error_of(*lib, reader.get())}));
            if (lib->write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK)
                throw InstallError(install_reason(msg_cannot_extract, {raw, error_of(*lib, writer.get())}));
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
    // The new files reach the disk before the exchange: otherwise a power cut just after it could
    // leave the installed path naming a bundle whose files were never written.
    if (::syncfs(lock_fd_) != 0) throw InstallError(install_reason(msg_cannot_swap, {errno_text(errno)}));
    if (::renameat2(AT_FDCWD, staged_bundle().c_str(), AT_FDCWD, installed_.c_str(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        if (error == EINVAL || error == ENOSYS || error == ENOTSUP) throw InstallError(std::string(msg_no_exchange));
        throw InstallError(install_reason(msg_cannot_swap, {errno_text(error)}));
    }
    // The staging directory now holds the old bundle: it is no longer a ready update (were the
    // process killed before removing it, the next start must not take the old bundle for one).
    ::unlink(ready_marker().c_str());
    // The exchange itself is made durable; a failure here changes nothing already done.
    const int parent = ::open(directory_of(installed_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent >= 0) {
        ::fsync(parent);
        ::close(parent);
    }
}

}  // namespace kestrova::sparkle
