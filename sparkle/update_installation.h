// Installing the update the user chose: download the enclosure into a staging area beside the
// bundle, verify, extract and check it, then either swap it in at once (the launch is held and the
// application has not started) or keep it ready until the application quits. The steps are those of
// update_install.h; this drives them through the host (download, property lists, log) and the user
// driver (progress, the outcome). Whatever fails, the installed bundle stays as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sparkle/appcast.h"
#include "sparkle/update_install.h"
#include "sparkle/updater_host.h"
#include "sparkle/user_driver.h"

namespace kestrova::sparkle {

// No bytes for this long ends an archive's transfer; a slow but moving one goes on.
inline constexpr double archive_stall_timeout_seconds = 30;

// The update staged while the application runs, swapped in when it quits. Thread-safe: the main
// thread keeps an update here while the process's end may come on any other thread.
class PendingUpdate {
public:
    // Keeps the ready `staging` (of `new_version`, to replace `old_version`). When the process has
    // already installed or given up its pending update, the area is left on disk for the next start
    // and false is returned.
    bool keep(std::unique_ptr<StagingArea> staging, std::string old_version, std::string new_version);
    // The version waiting to be installed at exit, if any.
    std::optional<std::string> waiting_version() const;
    // Once, on the way out: swaps in the kept update. Later calls, and later keep()s, do nothing.
    // Returns whether an update was installed. A swap that fails leaves the area for the next start.
    bool install(UpdaterHost& host);

private:
    mutable std::mutex mutex_;
    std::unique_ptr<StagingArea> staging_;
    std::string old_version_;
    std::string new_version_;
    bool closed_ = false;
};

// What an installation needs to know; all of it fixed when the user chooses to install.
struct InstallRequest {
    InstalledApplication application;
    UpdateOffer offer;
    Enclosure enclosure;
    std::filesystem::path bundle;  // the installed NAME.app
    InfoDictionary running;        // the running bundle's CFBundleIdentifier and CFBundleVersion
    bool held_launch = false;      // swap at once instead of at exit
};

struct InstallResult {
    enum class Kind { installed, ready_on_quit, failed, cancelled };
    Kind kind = Kind::failed;
    std::filesystem::path launcher;  // with installed: the new version's launcher
};

// One installation, on the main thread. The user driver hears the download's progress and the
// outcome; `done` runs once, on the main thread, when the user is done with it.
class UpdateInstallation : public std::enable_shared_from_this<UpdateInstallation> {
public:
    static void start(UpdaterHost& host, UserDriver& driver, PendingUpdate& pending, InstallRequest request,
                      std::function<void(InstallResult)> done);

    UpdateInstallation(UpdaterHost& host, UserDriver& driver, PendingUpdate& pending, InstallRequest request,
                       std::function<void(InstallResult)> done);

private:
    enum class Stage { downloading, installing, ended };

    void begin();
    void cancel();
    void progressed(std::uint64_t received);
    void downloaded(const UrlResponse& response);
    void install_download();
    void fail(const std::string& reason);
    void end(InstallResult result);
    void log(std::string_view message);

    UpdaterHost& host_;
    UserDriver& driver_;
    PendingUpdate& pending_;
    InstallRequest request_;
    std::function<void(InstallResult)> done_;

    std::unique_ptr<StagingArea> staging_;
    Stage stage_ = Stage::downloading;
    UpdaterHost::TransferId transfer_ = 0;
    bool cancelled_ = false;
    std::uint64_t shown_bytes_ = 0;
    // Progress arrives on the transfer's thread; only the latest count is passed on, in one main
    // task at a time, so a long download does not flood the main queue.
    std::mutex progress_mutex_;
    std::uint64_t received_ = 0;
    bool progress_queued_ = false;
};

// The running bundle's identity, as check_staged_bundle compares it.
InfoDictionary running_bundle_info(UpdaterHost& host);

// At start, before the application: removes what interrupted installs left beside the bundle and
// swaps in an update an earlier run made ready but did not live to install, when it still passes
// check_staged_bundle against the running bundle. Returns the new version's launcher when one was
// installed. Never throws.
std::optional<std::filesystem::path> install_left_update(UpdaterHost& host);

}  // namespace kestrova::sparkle
