// The checks of an install: the download's signature and length, the room an update needs, the
// staged bundle against the running one, and whether this user may replace the bundle at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"
#include "protocol/ed25519.h"
#include "protocol/version_comparator.h"
#include "updater/install_detail.h"
#include "updater/install_steps.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace install_detail {

std::optional<Room> room_at(int fd) {
    struct statvfs info {};
    if (::fstatvfs(fd, &info) != 0) return std::nullopt;
    const std::uint64_t total = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
    return Room{static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize, std::min(total / 20, most_reserved_bytes)};
}

std::string megabytes(std::uint64_t bytes) { return std::to_string(bytes / 1'000'000 + (bytes % 1'000'000 != 0)); }

void check_room(int dir_fd, const fs::path& folder, std::uint64_t bytes, std::string_view what) {
    const auto room = dir_fd >= 0 ? room_at(dir_fd) : std::nullopt;
    if (!room) return;  // not measurable: the count while writing still stops a full disk
    const std::uint64_t needed = bytes > UINT64_MAX - room->reserve ? UINT64_MAX : bytes + room->reserve;
    if (needed <= room->available) return;
    throw NoRoomError(install_reason(msg_no_room, {megabytes(needed), folder.string(), what, megabytes(room->available),
                                                   megabytes(needed - room->available)}));
}

}  // namespace install_detail

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
    namespace ed = protocol::ed25519;
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
    if (facts.version.empty() || protocol::compare_versions(facts.version, item_version) != protocol::Ordering::same)
        throw InstallError(install_reason(msg_version_differs, {facts.version, item_version}));
    const std::string running_version = info_value(running, info_keys::bundle_version);
    if (protocol::compare_versions(running_version, facts.version) != protocol::Ordering::ascending)
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
}  // namespace kestrova::updater
