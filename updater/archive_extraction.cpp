// Filling the staged bundle: unpacking the downloaded archive with libarchive, every entry checked
// before it is written, or building the tree from the installed bundle and a delta.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string>

#include "kestrova/file_descriptor.h"
#include "platform/shared_library.h"
#include "protocol/delta.h"
#include "protocol/ed25519.h"
#include "updater/install_detail.h"
#include "updater/install_steps.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace {

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

void StagingArea::build_from_delta(const DownloadedArchive& delta, std::string_view from_version) {
    const FileDescriptor installed(::open(installed_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (installed.get() < 0)
        throw InstallError(
            install_reason(msg_delta_unusable, {"the installed bundle cannot be opened (" + errno_text(errno) + ")"}));
    try {
        // Every file is written, the unchanged ones as copies: the new tree must stand whole beside
        // the old one, which stays as the way back.
        const auto make_room = [&](const protocol::DeltaManifest& manifest) {
            check_room(lock_fd_.get(), path_, protocol::delta_written_bytes(manifest), "the files its delta builds");
        };
        protocol::apply_delta(delta.fd(), installed.get(), from_version, lock_fd_.get(), installed_.filename().string(),
                              {}, make_room);
    } catch (const protocol::DeltaError& e) {
        throw InstallError(install_reason(msg_delta_unusable, {e.what()}));
    } catch (const protocol::ed25519::LibraryMissing& e) {
        throw InstallError(install_reason(msg_delta_unusable, {e.what()}));
    }
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
}  // namespace kestrova::updater
