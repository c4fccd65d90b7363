// The standard updater controller: reads the bundle's update settings, schedules background checks,
// runs checks against the feed and has its user driver tell the user what it found. Everything
// outside goes through an UpdaterHost, everything the user sees through the UserDriver; all members
// run on the main thread.
#pragma once

#include "protocol/appcast.h"
#include "protocol/feed_limits.h"
#include "protocol/signed_feed.h"
#include "updater/schedule.h"
#include "updater/update_installation.h"
#include "updater/updater_host.h"
#include "updater/user_driver.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::updater {

// What the launcher's delegate hears; either may be empty.
struct UpdaterDelegate {
    std::function<void()> did_finish_loading_appcast;
    std::function<void(double delay_seconds)> will_schedule_update_check_after_delay;
};

class UpdaterController {
public:
    // Reads the settings; when CFBundleVersion is valid, start-up (the schedule) follows on the next
    // turn of the main run loop. `host` and `driver` must outlive the controller and everything it
    // queued. `pending` holds the update made ready while the application runs, for the process's
    // end to install; the controller makes its own when given none.
    UpdaterController(UpdaterHost& host, UserDriver& driver, UpdaterDelegate delegate,
                      std::shared_ptr<PendingUpdate> pending = nullptr);
    UpdaterController(const UpdaterController&) = delete;
    UpdaterController& operator=(const UpdaterController&) = delete;

    // A user-initiated check: its result is always shown, and once it ends, by whatever path, the
    // shared application is stopped.
    void check_for_updates();

    // Whether the last user-initiated check offered a version newer than the bundle's: the gate's
    // hold ends the process after such a check, and otherwise lets the application start.
    bool last_check_offered_update() const { return last_user_check_offered_; }

    // The launch is held and the application has not started: an update the user installs is
    // swapped in at once, and installed_launcher() then names the new version's launcher.
    void hold_launch() { held_launch_ = true; }
    const std::optional<std::filesystem::path>& installed_launcher() const { return installed_launcher_; }

private:
    enum class CheckKind { user_initiated, scheduled };
    struct Outcome;

    void read_settings();
    void start_up();
    void schedule_check(double delay);
    void cancel_timer();
    void timer_fired();
    void begin_check(CheckKind kind);
    void refuse_user_check(std::string_view logged, CheckError::Kind kind);
    void feed_loaded(const UrlResponse& response);
    Outcome evaluate(const UrlResponse& response);
    protocol::ItemAudience audience(CheckKind kind);
    void add_linked_notes(Outcome outcome);
    void choose_actions(const protocol::AppcastItem& item, Outcome& outcome);
    void install(const Outcome& outcome, const std::function<void()>& done);
    void conclude(const Outcome& outcome);
    void report(CheckKind kind, const Outcome& outcome, const std::function<void()>& done);
    void finish_check(CheckKind kind, bool attempted);
    CheckError error(CheckError::Kind kind, std::string detail = {}, int http_status = 0) const;
    void record_last_check();
    bool was_skipped(const std::string& version);
    void skip_version(const std::string& version);
    void log(std::string_view message);

    UpdaterHost& host_;
    UserDriver& driver_;
    UpdaterDelegate delegate_;

    bool valid_ = false;  // CFBundleVersion usable (UpdateSettings::has_usable_version)
    InstalledApplication application_;
    std::optional<std::string> feed_url_;
    SchedulerSettings schedule_;
    std::optional<std::filesystem::path> state_file_;
    std::optional<std::filesystem::path> skipped_file_;
    protocol::FeedGuard feed_guard_;            // whether the feed must be signed, and the newest one accepted
    std::vector<std::string> bundle_channels_;  // KestrovaUpdateChannels
    std::optional<std::filesystem::path> channels_file_;  // the user's own channels
    std::optional<std::filesystem::path> rollout_file_;   // the user's rollout number

    UpdaterHost::TimerId timer_ = 0;
    std::optional<CheckKind> running_;
    bool last_user_check_offered_ = false;

    std::shared_ptr<PendingUpdate> pending_;
    std::optional<UpdateOffer> waiting_offer_;  // the offer whose update waits for the process's end
    bool held_launch_ = false;
    std::optional<std::filesystem::path> installed_launcher_;
};

}  // namespace kestrova::updater
