// The update kept ready while the application runs, and swapped in as the process ends.
#include "updater/update_installation.h"

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "updater/installation_detail.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

bool PendingUpdate::keep(std::unique_ptr<StagingArea> staging, InfoDictionary running, std::string new_version) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        staging->leave_on_disk();
        return false;
    }
    staging_ = std::move(staging);
    running_ = std::move(running);
    new_version_ = std::move(new_version);
    return true;
}

std::optional<std::string> PendingUpdate::waiting_version() const {
    std::lock_guard lock(mutex_);
    if (!staging_) return std::nullopt;
    return new_version_;
}

bool PendingUpdate::install(UpdaterHost& host) {
    // Held throughout, so that the main thread cannot keep another update while this one goes in.
    std::lock_guard lock(mutex_);
    if (std::exchange(closed_, true)) return false;
    if (!staging_) return install_left_update_at_end(host);
    std::unique_ptr<StagingArea> staging = std::move(staging_);
    // The path the update was staged for, beside which the staging area was made.
    const fs::path bundle = staging->path().parent_path() / staging->staged_bundle().filename();
    StagedInstall installed;
    try {
        installed = install_staged_area(host, staging, bundle, running_, new_version_);
    } catch (const std::exception& e) {
        log_to(host,
               std::string("Update not installed at exit: ") + e.what() + " It is tried again at the next start.");
        staging->leave_on_disk();
        return false;
    }
    switch (installed.kind) {
        case StagedInstall::Kind::dropped:
            // Removed with `staging`: nothing of it could ever go in, and the next check offers it again.
            log_to(host, "Update to version " + new_version_ + " not installed at exit and removed, because " +
                             installed.reason);
            return false;
        case StagedInstall::Kind::waits_for_other_copies:
            log_to(host, "Update not installed at exit: " + others_run_message(host, new_version_));
            return false;
        case StagedInstall::Kind::installed:
            break;
    }
    log_to(host, "Installed version " + new_version_ + " in place of " + installed.replaced_version +
                     " as the application quit");
    return true;
}
}  // namespace kestrova::updater
