// The staging area: the locked directory beside the bundle that an install works in, its ready
// marker, the exchange that puts the staged bundle in place, and the areas earlier runs left.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "platform/file_system.h"
#include "protocol/appcast.h"
#include "updater/install_detail.h"
#include "updater/install_steps.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace {

// A bundle's staging areas are named by bundle_layout, which a start moved into one reads too.
std::string staging_prefix(const fs::path& installed) {
    return kestrova::bundle_layout::staging_prefix(installed.filename().string());
}

using kestrova::bundle_layout::is_staging_name;

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

}  // namespace

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
    if (end == 0 || end == std::string_view::npos || end > protocol::max_version_bytes ||
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
    char buffer[protocol::max_version_bytes + 1 + 64 + 2];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) return std::nullopt;
    return parse_ready_marker(std::string_view(buffer, static_cast<std::size_t>(got)));
}

std::optional<std::string> StagingArea::ready_version() const {
    auto marker = read_marker();
    if (!marker) return std::nullopt;
    return std::move(marker->first);
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
}  // namespace kestrova::updater
