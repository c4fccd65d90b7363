// The standard updater controller: reads the bundle's update settings, schedules background checks,
// runs checks against the feed and tells the user what it found. Everything outside goes through an
// UpdaterHost; all members run on the main thread.
#pragma once

#include "sparkle/schedule.h"
#include "sparkle/updater_host.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::sparkle {

inline constexpr double feed_timeout_seconds = 30;
inline constexpr std::size_t max_feed_bytes = std::size_t{4} << 20;

// The alerts' headings; the informative texts carry the details.
inline constexpr std::string_view up_to_date_heading = "You're up to date!";
inline constexpr std::string_view update_available_heading = "A new version is available!";
inline constexpr std::string_view update_error_heading = "Update Error!";

// What the launcher's delegate hears; either may be empty.
struct UpdaterDelegate {
    std::function<void()> did_finish_loading_appcast;
    std::function<void(double delay_seconds)> will_schedule_update_check_after_delay;
};

class UpdaterController {
public:
    // Reads the settings; when CFBundleVersion is valid, start-up (the schedule) follows on the next
    // turn of the main run loop. `host` must outlive the controller and everything it queued.
    UpdaterController(UpdaterHost& host, UpdaterDelegate delegate);
    UpdaterController(const UpdaterController&) = delete;
    UpdaterController& operator=(const UpdaterController&) = delete;

    // A user-initiated check: its result is always shown, and once it ends, by whatever path, the
    // shared application is stopped.
    void check_for_updates();

    bool check_in_progress() const { return running_.has_value(); }

private:
    enum class CheckKind { user_initiated, scheduled };
    struct Outcome;

    void read_settings();
    void start_up();
    void schedule_check(double delay);
    void cancel_timer();
    void timer_fired();
    void begin_check(CheckKind kind);
    void refuse_user_check(std::string_view logged, std::string shown);
    void feed_loaded(const UrlResponse& response);
    Outcome evaluate(const UrlResponse& response);
    void conclude(const Outcome& outcome);
    void report(CheckKind kind, const Outcome& outcome);
    void record_last_check();
    void log(std::string_view message);

    UpdaterHost& host_;
    UpdaterDelegate delegate_;

    bool valid_ = false;  // CFBundleVersion present and non-empty
    std::string bundle_version_;
    std::string display_version_;  // CFBundleShortVersionString, else CFBundleVersion
    std::string application_name_;
    std::optional<std::string> feed_url_;
    SchedulerSettings schedule_;
    std::optional<std::filesystem::path> state_file_;

    UpdaterHost::TimerId timer_ = 0;
    std::optional<CheckKind> running_;
};

}  // namespace kestrova::sparkle
