// The installation lock is a flock on the bundle directory itself (NAME.app), held through one
// descriptor that is never closed: close-on-exec ends it when the process is replaced, and the
// kernel ends it when the process dies, however it dies. flock locks belong to the open file, so
// the conversions below act on this process's own lock and never conflict with it.
#include "platform/installation_lock.h"
#include "kestrova/bundle_layout.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/bundle_info.h"
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
    std::string path;
};

LockState& state() {
    static NeverDestroyed<LockState> s;
    return s.get();
}

bool try_flock(int fd, int operation) { return ::flock(fd, operation | LOCK_NB) == 0; }

// The bundle directory holding the executable, absolute; empty when there is none.
std::string installation_directory() {
    std::error_code error;
    const std::filesystem::path contents =
        std::filesystem::absolute(bundle_contents_directory(), error).lexically_normal();
    if (error || !contents.has_parent_path() || contents == contents.root_path()) return {};
    return contents.parent_path().string();
}

}  // namespace

void linux_backend::remember_installation_directory() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.path.empty()) s.path = installation_directory();
}

InstallationLock lock_installation(double wait_seconds, const std::function<void()>& waiting) {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd >= 0) return InstallationLock::unavailable;  // once per process

    if (s.path.empty()) s.path = installation_directory();
    if (s.path.empty()) return InstallationLock::unavailable;
    s.fd = ::open(s.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.fd < 0) return InstallationLock::unavailable;

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

bool lock_installation_exclusively() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.fd < 0) {
        // Not locked yet: a launch that fails before main (a damaged record) may still have to
        // put the previous version back, and may do so only when no other copy runs.
        if (s.path.empty()) s.path = installation_directory();
        if (s.path.empty()) return false;
        s.fd = ::open(s.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (s.fd < 0) return false;
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
    struct stat locked {};
    struct stat named {};
    if (::fstat(s.fd, &locked) != 0) return std::nullopt;
    if (::stat(bundle.c_str(), &named) != 0) return false;
    return locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

std::optional<std::string> installation_launcher(const std::string& bundle) {
    const auto info = read_property_list(kestrova::bundle_layout::info_plist_of(bundle).string());
    if (!info) return std::nullopt;
    const auto found = info->find("CFBundleExecutable");
    if (found == info->end() || found->second.empty() || found->second.find('/') != std::string::npos ||
        found->second == "." || found->second == "..")
        return std::nullopt;
    const std::string macos = kestrova::bundle_layout::executables_of(bundle).string();
    const std::string launcher = macos + "/" + found->second;
    // Nothing on the way may be a link: what starts must lie inside the bundle.
    struct stat info_of {};
    if (::lstat(kestrova::bundle_layout::contents_of(bundle).c_str(), &info_of) != 0 || !S_ISDIR(info_of.st_mode))
        return std::nullopt;
    if (::lstat(macos.c_str(), &info_of) != 0 || !S_ISDIR(info_of.st_mode)) return std::nullopt;
    if (::lstat(launcher.c_str(), &info_of) != 0 || !S_ISREG(info_of.st_mode)) return std::nullopt;
    return launcher;
}

std::string locked_installation_path() {
    LockState& s = state();
    std::lock_guard lock(s.mutex);
    return s.fd >= 0 ? s.path : std::string();
}

}  // namespace kestrova::platform
