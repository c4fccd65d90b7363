#include "sparkle/updater_controller.h"

#include "sparkle/appcast.h"
#include "sparkle/last_check_store.h"
#include "sparkle/version_comparator.h"

#include <exception>
#include <string>
#include <utility>

namespace kestrova::sparkle {

namespace {

std::string seconds_text(double seconds) {
    return format_absolute_time(seconds);
}

// "2.0 (200)" when the display version differs from the version, else "200".
std::string version_text(std::string_view short_version, std::string_view version) {
    if (short_version.empty() || short_version == version) {
        return std::string(version);
    }
    return std::string(short_version) + " (" + std::string(version) + ")";
}

std::string exception_text(std::string_view where) {
    try {
        throw;
    } catch (const std::exception& e) {
        return std::string(where) + ": " + e.what();
    } catch (...) {
        return std::string(where) + ": unknown exception";
    }
}

}  // namespace

struct UpdaterController::Outcome {
    enum class Result { up_to_date, update_available, failed };
    Result result = Result::failed;
    std::string newest_version;  // the offered item's version and display version
    std::string newest_short_version;
    std::string download_address;  // the item's link, else its enclosure's address
    std::string error;             // with failed: the sentence shown to the user
    bool attempted = true;         // false when no transfer was made (nothing to record)
};

UpdaterController::UpdaterController(UpdaterHost& host, UpdaterDelegate delegate)
    : host_(host), delegate_(std::move(delegate)) {
    read_settings();
    if (valid_) {
        host_.dispatch_main([this] { start_up(); });
    }
}

void UpdaterController::read_settings() {
    const InfoLookup info = [this](std::string_view key) { return host_.info_string(key); };
    const UpdateSettings settings = read_update_settings(info);
    application_name_ = settings.application_name;
    if (!settings.has_usable_version()) {
        log(settings.bundle_version ? "Updater not started: CFBundleVersion is empty"
                                    : "Updater not started: Info.plist has no CFBundleVersion");
        return;
    }
    valid_ = true;
    bundle_version_ = *settings.bundle_version;
    display_version_ = settings.display_version;
    feed_url_ = settings.feed_url;
    schedule_ = scheduler_settings(info, [this](std::string_view note) { log(note); });

    const std::string& identifier = settings.identifier;
    state_file_ = last_check_file([this](std::string_view name) { return host_.environment_value(name); },
                                  identifier);
    if (!state_file_) {
        log(identifier.empty() ? "No CFBundleIdentifier: the last check time is not kept"
                               : "No state directory (XDG_STATE_HOME, HOME) or unusable CFBundleIdentifier: "
                                 "the last check time is not kept");
    }
    log("Updater settings: version " + bundle_version_ + ", feed " + feed_url_.value_or("(none)") +
        ", automatic checks " +
        (schedule_.automatic_checks ? "every " + seconds_text(schedule_.interval) + " seconds" : "off"));
}

void UpdaterController::start_up() {
    if (!feed_url_) {
        log("No SUFeedURL: no update checks are scheduled");
        return;
    }
    if (!schedule_.automatic_checks) {
        log("Automatic update checks are off: none scheduled");
        return;
    }
    if (running_) {
        log("A check is already running: the next one is scheduled when it ends");
        return;
    }
    std::string refused;
    const auto last_check = state_file_ ? read_last_check(*state_file_, &refused) : std::nullopt;
    if (!refused.empty()) {
        log("Ignoring the last check time: " + refused);
    }
    const auto decision = first_check(schedule_, last_check, host_.now());
    switch (decision.action) {
    case ScheduleDecision::Action::none:
        break;
    case ScheduleDecision::Action::check_later:
        schedule_check(decision.delay);
        break;
    case ScheduleDecision::Action::check_now:
        log(last_check ? "The last update check is overdue: checking now" : "Never checked for updates: checking now");
        begin_check(CheckKind::scheduled);
        break;
    }
}

void UpdaterController::schedule_check(double delay) {
    cancel_timer();
    log("Next update check in " + seconds_text(delay) + " seconds");
    if (delegate_.will_schedule_update_check_after_delay) {
        delegate_.will_schedule_update_check_after_delay(delay);
    }
    timer_ = host_.add_timer(host_.now() + delay, [this] { timer_fired(); });
    if (timer_ == 0) {
        log("Could not arm the update check timer");
    }
}

void UpdaterController::cancel_timer() {
    if (timer_ != 0) {
        host_.invalidate_timer(std::exchange(timer_, 0));
    }
}

void UpdaterController::timer_fired() {
    timer_ = 0;
    if (running_) {
        log("Scheduled update check skipped: a check is already running");
        return;
    }
    begin_check(CheckKind::scheduled);
}

void UpdaterController::check_for_updates() {
    if (!valid_) {
        // The user asked, so the user hears why nothing can be checked, as for a missing feed.
        refuse_user_check("the updater did not start (no valid CFBundleVersion)",
                          application_name_ + " cannot check for updates: its Info.plist has no valid CFBundleVersion.");
        return;
    }
    if (running_) {
        log("User-initiated update check ignored: a check is already running");
        host_.stop_application();
        return;
    }
    if (!feed_url_) {
        refuse_user_check("Info.plist has no SUFeedURL",
                          application_name_ + " has no update feed: its Info.plist names no SUFeedURL.");
        return;
    }
    begin_check(CheckKind::user_initiated);
}

// A user-initiated check that cannot even download: logged, shown as an error, and concluded like
// any user-initiated check, which ends the gate's hold.
void UpdaterController::refuse_user_check(std::string_view logged, std::string shown) {
    log("User-initiated update check failed: " + std::string(logged));
    Outcome outcome;
    outcome.error = std::move(shown);
    outcome.attempted = false;
    running_ = CheckKind::user_initiated;
    conclude(outcome);
}

void UpdaterController::begin_check(CheckKind kind) {
    running_ = kind;
    log(std::string(kind == CheckKind::user_initiated ? "User-initiated" : "Scheduled") +
        " update check started: " + *feed_url_);
    try {
        host_.load_url(*feed_url_, feed_timeout_seconds, max_feed_bytes, [this](UrlResponse response) {
            // The completion runs on the URL worker; everything else happens on the main thread.
            host_.dispatch_main([this, response = std::move(response)] { feed_loaded(response); });
        });
    } catch (...) {
        Outcome outcome;
        outcome.error = "The update feed could not be requested (" + exception_text("load") + ").";
        log("Update check failed: " + outcome.error);
        conclude(outcome);
    }
}

void UpdaterController::feed_loaded(const UrlResponse& response) {
    Outcome outcome;
    try {
        outcome = evaluate(response);
    } catch (...) {
        outcome = Outcome{};
        outcome.error = "The update information could not be processed (" + exception_text("check") + ").";
        log("Update check failed: " + outcome.error);
    }
    conclude(outcome);
}

UpdaterController::Outcome UpdaterController::evaluate(const UrlResponse& response) {
    Outcome outcome;
    if (response.error_code != 0) {
        const std::string description = response.error_description.empty()
                                            ? "URL error " + std::to_string(response.error_code)
                                            : response.error_description;
        outcome.error = "The update feed " + *feed_url_ + " could not be downloaded: " + description;
        log("Feed download failed: " + description);
        return outcome;
    }
    // -1: not an HTTP address (a file, say), so there is no status to check.
    if (response.http_status != -1 && (response.http_status < 200 || response.http_status > 299)) {
        outcome.error = "The update feed " + *feed_url_ + " could not be downloaded: the server answered HTTP " +
                        std::to_string(response.http_status) + ".";
        log("Feed download failed: HTTP " + std::to_string(response.http_status));
        return outcome;
    }
    log("Feed loaded: " + std::to_string(response.body.size()) + " bytes, HTTP " +
        std::to_string(response.http_status));

    // Only the item to offer is kept: the feed's size is bounded, but a feed of tiny items would
    // otherwise cost many times its bytes.
    AppcastChoice choice;
    try {
        choice = choose_from_appcast(response.body);
    } catch (const AppcastError& e) {
        outcome.error = "The update feed " + *feed_url_ + " could not be read: " + e.what();
        log(std::string("Feed refused: ") + e.what());
        return outcome;
    }
    log("Feed has " + std::to_string(choice.item_count) + " items");
    if (delegate_.did_finish_loading_appcast) {
        delegate_.did_finish_loading_appcast();
    }

    const AppcastItem* best = choice.best ? &*choice.best : nullptr;
    if (best == nullptr) {
        log("No item for " + std::string(this_operating_system) + " on the default channel");
        outcome.result = Outcome::Result::up_to_date;
        return outcome;
    }
    log("Newest item: version " + best->version);
    outcome.newest_version = best->version;
    outcome.newest_short_version = best->short_version.value_or("");
    outcome.download_address = !best->link.empty() ? best->link : best->enclosure ? best->enclosure->url : "";
    outcome.result = compare_versions(bundle_version_, best->version) == Ordering::ascending
                         ? Outcome::Result::update_available
                         : Outcome::Result::up_to_date;
    return outcome;
}

void UpdaterController::conclude(const Outcome& outcome) {
    const CheckKind kind = running_.value_or(CheckKind::scheduled);
    // The check counts as running until its alert is dismissed, so that a timer served while the
    // alert is up does not start another one; it is rescheduled below anyway.
    try {
        report(kind, outcome);
    } catch (...) {
        log(exception_text("Reporting the update check failed"));
    }
    running_.reset();
    if (outcome.attempted) {
        try {
            record_last_check();
            if (schedule_.automatic_checks && feed_url_) {
                schedule_check(schedule_.interval);
            }
        } catch (...) {
            log(exception_text("Rescheduling the update check failed"));
        }
    }
    // The launcher's hold path waits in the shared application's run until the user is done.
    if (kind == CheckKind::user_initiated) {
        host_.stop_application();
    }
}

void UpdaterController::report(CheckKind kind, const Outcome& outcome) {
    const bool user_initiated = kind == CheckKind::user_initiated;
    switch (outcome.result) {
    case Outcome::Result::failed:
        log("Result: check failed");
        if (user_initiated) {
            host_.show_alert(update_error_heading,
                             "An error occurred in retrieving update information. " + outcome.error);
        }
        break;
    case Outcome::Result::up_to_date:
        log("Result: up to date (bundle " + bundle_version_ + ", newest " +
            (outcome.newest_version.empty() ? "none" : outcome.newest_version) + ")");
        if (user_initiated) {
            host_.show_alert(up_to_date_heading, application_name_ + " " +
                                                     version_text(display_version_, bundle_version_) +
                                                     " is currently the newest version available.");
        }
        break;
    case Outcome::Result::update_available: {
        log("Result: version " + outcome.newest_version + " is available (bundle " + bundle_version_ + ")");
        std::string text = application_name_ + " " +
                           version_text(outcome.newest_short_version, outcome.newest_version) +
                           " is now available; you have " + version_text(display_version_, bundle_version_) + ".";
        if (!outcome.download_address.empty()) {
            text += " Download it from " + outcome.download_address;
        }
        host_.show_alert(update_available_heading, text);
        break;
    }
    }
}

void UpdaterController::record_last_check() {
    if (!state_file_) {
        return;
    }
    const std::string error = write_last_check(*state_file_, host_.now());
    if (!error.empty()) {
        log("Could not store the last check time: " + error);
    }
}

void UpdaterController::log(std::string_view message) {
    try {
        host_.log(message);
    } catch (...) {
        // Logging must never be the reason a check goes wrong.
    }
}

}  // namespace kestrova::sparkle
