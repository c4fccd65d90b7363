// Installing the update the user chose: download the enclosure into a staging area beside the
// bundle, verify, extract and check it, then either swap it in at once (the launch is held and the
// application has not started) or keep it ready until the application quits. The steps are those of
// install_steps.h; this drives them through the host (download, property lists, log) and the user
// driver (progress, the outcome). Whatever fails, the installed bundle stays as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/appcast.h"
#include "updater/install_steps.h"
#include "updater/updater_host.h"
#include "updater/user_driver.h"

namespace kestrova::updater {

// No bytes for this long ends an archive's transfer; a slow but moving one goes on.
inline constexpr double archive_stall_timeout_seconds = 30;

// The update staged while the application runs, swapped in when it quits. Thread-safe: the main
// thread keeps an update here while the process's end may come on any other thread.
class PendingUpdate {
public:
    // Keeps the ready `staging` (of `new_version`, to replace the bundle `running` describes). When
    // the process has already installed or given up its pending update, the area is left on disk
    // for the next start and false is returned.
    bool keep(std::unique_ptr<StagingArea> staging, InfoDictionary running, std::string new_version);
    // The version waiting to be installed at exit, if any.
    std::optional<std::string> waiting_version() const;
    // Once, on the way out: swaps in the kept update, or when none is kept, one that another copy
    // left ready. Later calls, and later keep()s, do nothing. Returns whether an update was
    // installed. While other copies run, the update stays ready for the last of them to install.
    bool install(UpdaterHost& host);

private:
    mutable std::mutex mutex_;
    std::unique_ptr<StagingArea> staging_;
    InfoDictionary running_;
    std::string new_version_;
    bool closed_ = false;
};

// What an installation needs to know; all of it fixed when the user chooses to install.
struct InstallRequest {
    InstalledApplication application;
    UpdateOffer offer;
    protocol::Enclosure enclosure;
    std::filesystem::path bundle;  // the installed NAME.app
    InfoDictionary running;        // the running bundle's CFBundleIdentifier and CFBundleVersion
    bool held_launch = false;      // swap at once instead of at exit
};

struct InstallResult {
    // waits_for_other_copies: ready on disk, installed once every running copy has quit.
    enum class Kind { installed, ready_on_quit, waits_for_other_copies, failed, cancelled };
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
    // The item's delta from the installed version, unless it failed before for this version.
    std::optional<protocol::DeltaEnclosure> delta_to_try();
    // Downloads `url` (of `length` bytes, `what`) into the staging area, telling the driver it started.
    void download(const std::string& url, std::uint64_t length, UpdateDownload what);
    // The delta could not be used: its work is removed and the full archive downloaded, once.
    void fall_back(const std::string& reason);
    void fail(const std::string& reason);
    void end(InstallResult result);
    void log(std::string_view message);

    UpdaterHost& host_;
    UserDriver& driver_;
    PendingUpdate& pending_;
    InstallRequest request_;
    std::function<void(InstallResult)> done_;

    std::unique_ptr<StagingArea> staging_;
    // The delta being downloaded or applied instead of the archive; nothing once it failed, or when
    // the item has none from the installed version.
    std::optional<protocol::DeltaEnclosure> delta_;
    bool delta_tried_ = false;
    bool archive_after_delta_ = false;  // the archive is downloaded after its delta failed
    std::uint64_t length_ = 0;          // of what is being downloaded
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

// What is done with a staged update, decided right before it would replace the installation.
struct ExchangeCheck {
    enum class Kind { replace, wait_for_other_copies, drop };
    Kind kind = Kind::drop;
    std::string version;  // replace: the version at the bundle's path now, which it replaces
    std::string reason;   // drop: why, as the end of "The update was not installed because ..."
};

// Right before `bundle` would be replaced by the staged `new_version` of the application
// `running` describes: the path must still name the installation this process locked, hold the
// same CFBundleIdentifier at a version older than `new_version`, and no other copy may run from
// it. When it may be replaced, this process holds the installation alone.
ExchangeCheck check_before_exchange(UpdaterHost& host, const std::filesystem::path& bundle,
                                    const InfoDictionary& running, std::string_view new_version);

// What installing a staged area came to.
struct StagedInstall {
    enum class Kind { installed, waits_for_other_copies, dropped };
    Kind kind = Kind::dropped;
    std::string replaced_version;    // installed: the version at the bundle's path that it replaced
    std::filesystem::path launcher;  // installed: the new version's launcher
    std::string reason;              // dropped: why, as the end of "... because ..."
};

// The one step that installs a staged area, whoever drives it (the held launch, the pending update
// at the end, an update an earlier run left): `area`, checked (check_staged_bundle) and holding
// `new_version`, goes in place of `bundle`, the application `running` describes, once
// check_before_exchange allows it, by the exchange that keeps the previous version beside it.
// While other copies run, it is left on disk, ready (marked so when it was not yet), for the last
// of them or the next start; dropped, it stays the caller's. Throws InstallError when the mark or
// the exchange fails (nothing exchanged).
StagedInstall install_staged_area(UpdaterHost& host, std::unique_ptr<StagingArea>& area,
                                  const std::filesystem::path& bundle, const InfoDictionary& running,
                                  const std::string& new_version);

// At start, before the application: removes what interrupted installs left beside the bundle and
// swaps in an update an earlier run made ready but did not live to install, when it still passes
// check_staged_bundle against the running bundle. Returns the new version's launcher when one was
// installed. Never throws.
std::optional<std::filesystem::path> install_left_update(UpdaterHost& host);

// At the end of a copy with no update of its own pending: the same as install_left_update, for
// the last copy to quit, without starting anything. Returns whether one was installed. Never throws.
bool install_left_update_at_end(UpdaterHost& host);

}  // namespace kestrova::updater
