// Installing a downloaded update, step by step: verify the archive's signature, extract it safely
// into a staging directory beside the installed bundle, check the staged bundle, and swap it with
// the installed one in one atomic rename. Each step either completes or throws InstallError and
// leaves the installed bundle as it was. Not tied to any dialog or download: the caller drives it.
//
// Staging directories are named ".NAME.app.kestrova-update-XXXXXX" beside NAME.app (or
// ".kestrova-update-HASH-XXXXXX", HASH of NAME.app, when that would pass the file-name limit). The
// download goes into one, the new bundle is extracted into it, and after the swap it holds the old
// bundle; it is removed at the end. Its installer holds an exclusive flock on it throughout, so
// clean_install_leftovers removes only directories that nobody is working in: those a crash or a
// kill left behind, and only this user's own (owner and mode 0700, as mkdtemp makes them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrova/bundle_facts.h"
#include "kestrova/file_descriptor.h"
#include "updater/updater_host.h"

namespace kestrova::updater {

// Why an update was not installed, in one sentence for the user and the update log.
class InstallError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file system has no room for the update: no other way of installing it has more.
class NoRoomError : public InstallError {
public:
    using InstallError::InstallError;
};

// Reads the property list at a path; nothing when it is missing or unreadable.
using InfoReader = std::function<std::optional<InfoDictionary>(const std::filesystem::path&)>;

// The sentence of an InstallError: each "{}" of `pattern` filled in turn, with the control
// characters of texts from the archive or the feed replaced, so that a reason stays one line.
std::string install_reason(std::string_view pattern, std::initializer_list<std::string_view> values);

// The value of `key` in `info`; empty when it is absent.
std::string info_value(const InfoDictionary& info, std::string_view key);

// `info` as the lookup read_bundle_facts reads; `info` must outlive it.
InfoLookup lookup_in(const InfoDictionary& info);

// The downloaded archive, opened once (never through a link) so that the bytes whose signature is
// checked are the bytes then unpacked, whatever happens to the path in between.
class DownloadedArchive {
public:
    // Throws InstallError when it is missing, a link or not a regular file.
    explicit DownloadedArchive(const std::filesystem::path& path);

    int fd() const { return fd_.get(); }
    std::uint64_t size() const { return size_; }

private:
    FileDescriptor fd_;
    std::uint64_t size_ = 0;
};

// Checks that `archive` is exactly `length` bytes and that `signature` (base64 of 64 bytes, the
// enclosure's sparkle:edSignature) is an Ed25519 signature of its bytes by `public_key` (base64 of
// 32 bytes, SUPublicEDKey). A missing key, signature or length refuses the update.
void verify_update_archive(const std::filesystem::path& archive, std::optional<std::string_view> public_key,
                           std::optional<std::string_view> signature, std::optional<std::uint64_t> length);
void verify_update_archive(const DownloadedArchive& archive, std::optional<std::string_view> public_key,
                           std::optional<std::string_view> signature, std::optional<std::uint64_t> length);

// Refuses, before anything is downloaded, an update of `length` bytes that the file system holding
// `installed` has no room for: the download, its unpacked tree (counted as three times the
// download) and a reserve left free for everything else (5% of the file system, at most 100 MiB).
// An update of no known length is refused too: its body has no bound and could fill the disk.
// Throws NoRoomError saying why, and how much to free.
void check_room_for_update(const std::filesystem::path& installed, std::optional<std::uint64_t> length);

// The same for a delta of `length` bytes: its download and the reserve. What it builds is counted
// by build_from_delta, once the delta's manifest tells it.
void check_room_for_delta_download(const std::filesystem::path& installed, std::uint64_t length);

// Checks a staged bundle against the running one: the same CFBundleIdentifier, a CFBundleVersion
// equal to the item's (under the version ordering) and newer than the running version, and a
// launcher Contents/MacOS/CFBundleExecutable that is a regular file its owner can execute, reached
// without passing through any link.
void check_staged_bundle(const std::filesystem::path& staged, const InfoDictionary& running,
                         std::string_view item_version, const InfoReader& read_info);

// Whether this user can replace `installed` (a NAME.app directory): write access to it and to the
// directory holding it. When not (an application installed for all users), nothing is downloaded.
bool can_replace(const std::filesystem::path& installed);

// Removes the staging directories beside `installed` that no installer holds: what an install
// that crashed or was killed left. Returns how many were removed. Never throws.
std::size_t clean_install_leftovers(const std::filesystem::path& installed);

// The ready marker's text (StagingArea::mark_ready): a version of at most max_version_bytes
// without control characters, a line, then a SHA-256 in hex, a line. Nothing for any other text,
// which a crash, a damaged disk or another program may have left in the marker's place.
std::optional<std::pair<std::string, std::string>> parse_ready_marker(std::string_view text);

class StagingArea {
public:
    // Locks and returns the staging directories beside `installed` that no installer holds: what
    // earlier runs left, to be installed (ready_version) or removed (by destroying them). One that is
    // not this user's own (another owner, a mode other than 0700, a link) is left alone and told to
    // `note`, one line each. Never throws.
    static std::vector<std::unique_ptr<StagingArea>> take_left(const std::filesystem::path& installed,
                                                               const std::function<void(std::string_view)>& note = {});

    // Creates and locks a staging directory beside `installed`. Throws InstallError.
    explicit StagingArea(const std::filesystem::path& installed);
    // Removes the directory with everything in it: the staged bundle when the install stopped
    // before the swap, the old bundle after it.
    ~StagingArea();
    StagingArea(const StagingArea&) = delete;
    StagingArea& operator=(const StagingArea&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Where the caller downloads the archive: on the bundle's file system, so nothing is copied.
    std::filesystem::path download_path() const { return path_ / "update.download"; }
    // Where extract puts the new bundle: the staging directory / NAME.app.
    std::filesystem::path staged_bundle() const { return path_ / installed_.filename(); }

    // Extracts `archive` (tar, gzip-compressed or not) into staged_bundle(). Refuses, before or
    // while writing, any entry that is not a directory, regular file or symbolic link (hard links,
    // devices, pipes), whose path is absolute, holds "." or "..", leads through a link, comes twice,
    // or lies outside NAME.app; and an archive without exactly that one NAME.app directory at its
    // top. Set-id and sticky bits are dropped. Throws InstallError.
    // While unpacking, stops before the free space of the file system would fall below the reserve
    // check_room_for_update keeps.
    void extract(const DownloadedArchive& archive);
    void extract(const std::filesystem::path& archive);

    // Builds staged_bundle() from the installed bundle, read through descriptors and never through
    // a link, and `delta` (verified already), which must be made from `from_version`. Returns only
    // once the built tree has the digest the signed delta gives. Before writing anything, the
    // bytes of every file of the new tree (unchanged ones are copied too) and the reserve that
    // check_room_for_update keeps must fit beside the download, or NoRoomError is thrown. Throws
    // InstallError.
    void build_from_delta(const DownloadedArchive& delta, std::string_view from_version);

    // Exchanges staged_bundle() with the installed bundle in one step (platform::exchange_entries), after
    // flushing the staged files to disk: the installed path always holds one complete bundle. The
    // old bundle is then at staged_bundle(), removed with the staging area. A ready update (see
    // mark_ready) whose staged tree no longer has the digest recorded is refused. Throws
    // InstallError (nothing exchanged).
    void swap_into_place();

    // Records, durably, that staged_bundle() is `version`, complete and checked, with the SHA-256 of
    // its tree (paths, types, modes, link targets and contents): a process that dies before swapping
    // it in leaves it for the next start (take_left, ready_version). The downloaded archive is
    // removed first, as it is no longer needed. Throws InstallError.
    void mark_ready(std::string_view version);
    // The version mark_ready recorded; nothing when the staging area is not ready.
    std::optional<std::string> ready_version() const;
    // Unlocks the directory and leaves it on disk instead of removing it: a ready update that this
    // process cannot install any more is then installed at the next start.
    void leave_on_disk();

private:
    StagingArea(std::filesystem::path installed, std::filesystem::path path, FileDescriptor lock_fd)
        : installed_(std::move(installed)), path_(std::move(path)), lock_fd_(std::move(lock_fd)) {}
    static constexpr const char* ready_name = "update.ready";
    // The version and digest mark_ready recorded.
    std::optional<std::pair<std::string, std::string>> read_marker() const;
    // The staged tree's digest, reached through the locked directory, each of its files and
    // directories put on disk on the way. Throws InstallError with the reason `failure` (one "{}").
    std::string staged_digest(std::string_view failure) const;

    std::filesystem::path installed_;
    std::filesystem::path path_;
    FileDescriptor lock_fd_;
};

}  // namespace kestrova::updater
