// The installation lock is a flock on a file at the top of the bundle (NAME.app/.kestrova-lock),
// held through one descriptor that is never closed: close-on-exec ends it when the process is
// replaced, and the kernel ends it when the process dies, however it dies. flock locks belong to
// the open file, so the conversions below act on this process's own lock and never conflict with it.
//
// flock needs no more than a descriptor opened for reading, so whoever can open the file can hold
// the lock, and a holder stalls every start. The file is therefore open only to those who may write
// the bundle directory, which is also what replacing the installation takes: its permission bits
// give read and write to exactly the classes (owner, group, others) that may write the directory,
// and nothing to the rest. A user who cannot open it cannot be installing: such a start takes no
// lock and waits for nobody, and its updater only tells of new versions. The file lives in the tree,
// so it moves with it when an update exchanges the trees, as the directory's own lock did.
//
// A start locks the tree its executable runs from, found anew at the lock and checked by the
// executable's identity: another copy installing an update holds that tree's file alone while it
// exchanges the trees and after, wherever the exchange moved the tree to, so the start waits for
// it. The installation itself is where that tree lay when the process started, out of a staging
// area when an exchange had moved it there already; a start whose tree is no longer the one there
// is told so (`moved`), and starts what the installation holds now.
#include "platform/installation_lock.h"
#include "kestrova/bundle_facts.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/bundle_info.h"
#include "platform/executable_path.h"
#include "platform/linux/bundle_info_internal.h"
#include "platform/linux/installation_lock_internal.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace {

// How often a blocked lock is tried again, and how long a wait counts as a moment (another start
// holds the lock alone for as long as it looks for a left update: a few milliseconds).
constexpr auto retry_interval = std::chrono::milliseconds(20);
constexpr auto moment = std::chrono::milliseconds(200);

enum class Held { none, shared, exclusive };

struct LockState {
    std::mutex mutex;
    int fd = -1;
    Held held = Held::none;
    // The installation's path, and the executable's path inside the bundle (Contents/MacOS/NAME).
    std::string path;
    std::string launcher;
    // The locked bundle directory, to tell whether its path still names it.
    dev_t device = 0;
    ino_t inode = 0;
};

LockState& state() {
    static NeverDestroyed<LockState> s;
    return s.get();
}

bool try_flock(int fd, int operation) { return ::flock(fd, operation | LOCK_NB) == 0; }

// The bundle directory the executable runs from now, absolute, and the executable's path inside
// it; nothing when there is none.
struct RunningTree {
    std::filesystem::path bundle;
    std::filesystem::path launcher;
};

std::optional<RunningTree> running_tree() {
    std::string executable(4096, '\0');
    for (;;) {
        auto size = static_cast<std::uint32_t>(executable.size());
        if (get_executable_path(executable.data(), &size) == 0) break;
        if (executable.size() >= (1u << 20)) return std::nullopt;  // no executable path is that long
        executable.resize(executable.size() * 2);
    }
    executable.resize(executable.find('\0'));
    std::error_code error;
    const std::filesystem::path contents =
        std::filesystem::absolute(linux_backend::contents_directory_of(executable), error).lexically_normal();
    if (error || !contents.has_parent_path() || contents == contents.root_path()) return std::nullopt;
    RunningTree tree{contents.parent_path(), {}};
    tree.launcher = std::filesystem::path(executable).lexically_normal().lexically_relative(tree.bundle);
    if (tree.launcher.empty()) return std::nullopt;
    return tree;
}

// Whether `file` is the very file this process runs (the kernel's link to it names the file,
// wherever it has moved and even once it is deleted).
bool is_own_executable(const struct stat& file) {
    struct stat own {};
    return ::stat("/proc/self/exe", &own) == 0 && own.st_dev == file.st_dev && own.st_ino == file.st_ino;
}

// Notes the installation's path: where the tree the executable runs from lies, or, when another
// copy's exchange has moved it into a staging area already, where it was moved from.
void remember(LockState& s) {
    if (!s.path.empty()) return;
    const auto tree = running_tree();
    if (!tree) return;
    s.path = bundle_layout::installation_of_staged(tree->bundle).value_or(tree->bundle).string();
    s.launcher = tree->launcher.string();
}

// Whether the installation's path still holds the tree this process runs from.
bool runs_from_installation(const LockState& s) {
    if (s.path.empty()) return true;  // no bundle: nothing to compare
    struct stat there {};
    return ::stat((std::filesystem::path(s.path) / s.launcher).c_str(), &there) == 0 && is_own_executable(there);
}

// Opens the bundle directory the executable runs from, checked to hold the executable itself: an
// exchange between reading the executable's path and opening the directory gives the other tree.
int open_running_tree() {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto tree = running_tree();
        if (!tree) return -1;
        const int bundle = ::open(tree->bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (bundle < 0) return -1;
        struct stat launcher {};
        if (::fstatat(bundle, tree->launcher.c_str(), &launcher, 0) == 0 && is_own_executable(launcher)) return bundle;
        ::close(bundle);
    }
    return -1;
}

// The permission bits the lock file should have: read and write for each class that may write
// the bundle directory `bundle`, when the file's group is the directory's.
mode_t lock_file_mode(const struct stat& bundle, const struct stat& file) {
    mode_t mode = S_IRUSR | S_IWUSR;
    if ((bundle.st_mode & S_IWGRP) != 0 && file.st_gid == bundle.st_gid) mode |= S_IRGRP | S_IWGRP;
    if ((bundle.st_mode & S_IWOTH) != 0) mode |= S_IROTH | S_IWOTH;
    return mode;
}

enum class Opened { file, not_installer, failed };

// Opens the lock file of the bundle directory the executable runs from, making it when it is not
// there yet, and keeps its descriptor in `s.fd`.
Opened open_lock_file(LockState& s) {
    remember(s);
    if (s.path.empty()) return Opened::failed;
    FileDescriptor bundle(open_running_tree());
    if (!bundle.valid()) return Opened::failed;
    struct stat bundle_info {};
    if (::fstat(bundle.get(), &bundle_info) != 0) return Opened::failed;
    // Never through a link, and never waiting on a named pipe someone put in its place.
    FileDescriptor fd(::openat(bundle.get(), std::string(kestrova::bundle_layout::installation_lock).c_str(),
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR));
    const int open_error = errno;
    bundle.close();
    if (!fd.valid())
        return open_error == EACCES || open_error == EPERM || open_error == EROFS ? Opened::not_installer
                                                                                  : Opened::failed;
    struct stat file_info {};
    if (::fstat(fd.get(), &file_info) != 0 || !S_ISREG(file_info.st_mode)) return Opened::failed;
    // Made just now under this process's umask, or left more open by something else: only those
    // who may change the installation may open it. A file of another user stays as it is.
    const mode_t wanted = lock_file_mode(bundle_info, file_info);
    if (file_info.st_uid == ::geteuid() && (file_info.st_mode & 07777) != wanted) ::fchmod(fd.get(), wanted);
    // Held until the process ends, and closed by its end: the lock lasts as long as the process.
    s.fd = fd.release();
    s.device = bundle_info.st_dev;
    s.inode = bundle_info.st_ino;
    return Opened::file;
}

}  // namespace

void linux_backend::remember_installation_directory() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    remember(s);
}

namespace {

InstallationLock take_lock(LockState& s, double wait_seconds, const std::function<void()>& waiting) {
    switch (open_lock_file(s)) {
        case Opened::file:
            break;
        case Opened::not_installer:
            return InstallationLock::not_installer;
        case Opened::failed:
            return InstallationLock::unavailable;
    }

    if (try_flock(s.fd, LOCK_EX)) {
        s.held = Held::exclusive;
        return InstallationLock::exclusive;
    }
    if (errno != EWOULDBLOCK) return InstallationLock::unavailable;
    if (try_flock(s.fd, LOCK_SH)) {
        s.held = Held::shared;
        return InstallationLock::shared;
    }
    // Someone holds it alone: another copy installing an update, or another start looking for one.
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(wait_seconds));
    bool told = false;
    for (;;) {
        std::this_thread::sleep_for(retry_interval);
        if (try_flock(s.fd, LOCK_SH)) {
            s.held = Held::shared;
            return InstallationLock::waited;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return InstallationLock::timed_out;
        if (!told && now - start >= moment) {
            told = true;
            if (waiting) waiting();
        }
    }
}

}  // namespace

InstallationLock lock_installation(double wait_seconds, const std::function<void()>& waiting) {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd >= 0) return InstallationLock::unavailable;  // once per process
    const InstallationLock outcome = take_lock(s, wait_seconds, waiting);
    // Asked after the wait, so that an installer that moved this tree away has finished with the
    // installation; and whether or not a lock is held: nothing of a moved tree may start.
    return runs_from_installation(s) ? outcome : InstallationLock::moved;
}

bool lock_installation_exclusively() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd < 0) {
        // Not locked yet: a launch that fails before main (a damaged record) may still have to
        // put the previous version back, and may do so only when no other copy runs. A user who
        // may not change the installation never may.
        if (open_lock_file(s) != Opened::file) return false;
    }
    if (s.held == Held::exclusive) return true;
    if (try_flock(s.fd, LOCK_EX)) {
        s.held = Held::exclusive;
        return true;
    }
    // A conversion that fails has dropped the lock this process held: take the shared one again,
    // so the other copies still see this one running.
    s.held = try_flock(s.fd, LOCK_SH) ? Held::shared : Held::none;
    return false;
}

void share_installation_lock() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd < 0 || s.held != Held::exclusive) return;
    s.held = try_flock(s.fd, LOCK_SH) ? Held::shared : Held::none;
}

std::optional<bool> installation_at(const std::string& bundle) {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd < 0) return std::nullopt;
    struct stat named {};
    if (::stat(bundle.c_str(), &named) != 0) return false;
    return s.device == named.st_dev && s.inode == named.st_ino;
}

std::optional<std::string> installation_launcher(const std::string& bundle) {
    const auto info = read_property_list(kestrova::bundle_layout::info_plist_of(bundle).string());
    if (!info) return std::nullopt;
    const auto facts = kestrova::read_bundle_facts(bundle, [&info](std::string_view key) -> std::optional<std::string> {
        const auto found = info->find(key);
        if (found == info->end()) return std::nullopt;
        return found->second;
    });
    if (!facts.launcher) return std::nullopt;
    return facts.launcher->string();
}

std::string installation_path() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    remember(s);
    return s.path;
}

}  // namespace kestrova::platform
