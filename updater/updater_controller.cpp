#include "updater/updater_controller.h"

#include "kestrova/info_plist_keys.h"
#include "protocol/appcast.h"
#include "protocol/release_notes.h"
#include "protocol/rollout.h"
#include "protocol/version_comparator.h"
#include "updater/install_steps.h"
#include "updater/last_check_store.h"
#include "updater/previous_version.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace kestrova::updater {

namespace {

std::string seconds_text(double seconds) { return format_absolute_time(seconds); }

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
    enum class Result { up_to_date, update_available, skipped, failed_to_start, waiting, failed };
    Result result = Result::failed;
    UpdateOffer offer;  // with update_available; its version also with up_to_date
    // With update_available and install among the choices: what to download, and where it goes.
    std::optional<protocol::Enclosure> enclosure;
    std::filesystem::path bundle;
    CheckError error;  // with failed
    // With update_available and no description to show: the release notes page to fetch first.
    std::optional<std::string> notes_link;
    bool attempted = true;  // false when no transfer was made (nothing to record)
};

UpdaterController::UpdaterController(UpdaterHost& host, UserDriver& driver, UpdaterDelegate delegate,
                                     std::shared_ptr<PendingUpdate> pending)
    : host_(host),
      driver_(driver),
      delegate_(std::move(delegate)),
      pending_(pending ? std::move(pending) : std::make_shared<PendingUpdate>()) {
    read_settings();
    if (valid_) {
        host_.dispatch_main([this] { start_up(); });
    }
}

void UpdaterController::read_settings() {
    const InfoLookup info = [this](std::string_view key) { return host_.info_string(key); };
    const UpdateSettings settings = read_update_settings(info);
    application_.name = settings.application_name;
    if (!settings.has_usable_version()) {
        log(settings.bundle_version ? "Updater not started: CFBundleVersion is empty"
                                    : "Updater not started: Info.plist has no CFBundleVersion");
        return;
    }
    valid_ = true;
    application_.version = *settings.bundle_version;
    application_.display_version = settings.display_version;
    application_.package_managed = settings.package_managed;
    feed_url_ = settings.feed_url;
    schedule_ = scheduler_settings(info, [this](std::string_view note) { log(note); });

    const std::string& identifier = settings.identifier;
    const EnvironmentLookup environment = [this](std::string_view name) { return host_.environment_value(name); };
    state_file_ = last_check_file(environment, identifier);
    const auto state_directory = platform::user_state_directory(environment);
    feed_guard_ = protocol::FeedGuard(protocol::feed_policy(info),
                                      protocol::feed_state_file(state_directory, identifier));
    bundle_channels_ = protocol::parse_channel_list(info(kestrova::info_keys::update_channels).value_or(""));
    channels_file_ = protocol::user_channels_file(state_directory, identifier);
    rollout_file_ = protocol::rollout_number_file(state_directory, identifier);
    if (state_file_) {
        skipped_file_ = skipped_version_file(*state_file_);
    } else {
        log(identifier.empty() ? "No CFBundleIdentifier: the last check time is not kept"
                               : "No state directory (" + std::string(platform::user_state_directory_variables()) +
                                     ") or unusable CFBundleIdentifier: the last check time and a skipped version are "
                                     "not kept");
    }
    log("Updater settings: version " + application_.version + ", feed " + feed_url_.value_or("(none)") +
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
            log(last_check ? "The last update check is overdue: checking now"
                           : "Never checked for updates: checking now");
            begin_check(CheckKind::scheduled);
            break;
    }
}

void UpdaterController::schedule_check(double delay) {
    cancel_timer();
    // The delegate logs the delay; logging it here too would record one event twice.
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
    // A user check that is refused, or fails, offers nothing; one already running keeps its answer.
    if (!running_) last_user_check_offered_ = false;
    if (!valid_) {
        // The user asked, so the user hears why nothing can be checked, as for a missing feed.
        refuse_user_check("the updater did not start (no valid CFBundleVersion)", CheckError::Kind::no_bundle_version);
        return;
    }
    if (running_) {
        log("User-initiated update check ignored: a check is already running");
        host_.stop_application();
        return;
    }
    if (!feed_url_) {
        refuse_user_check("Info.plist has no SUFeedURL", CheckError::Kind::no_feed);
        return;
    }
    begin_check(CheckKind::user_initiated);
}

// A user-initiated check that cannot even download: logged, shown as an error, and concluded like
// any user-initiated check, which ends the gate's hold.
void UpdaterController::refuse_user_check(std::string_view logged, CheckError::Kind kind) {
    log("User-initiated update check failed: " + std::string(logged));
    Outcome outcome;
    outcome.error = error(kind);
    outcome.attempted = false;
    running_ = CheckKind::user_initiated;
    conclude(outcome);
}

void UpdaterController::begin_check(CheckKind kind) {
    running_ = kind;
    log(std::string(kind == CheckKind::user_initiated ? "User-initiated" : "Scheduled") +
        " update check started: " + *feed_url_);
    try {
        host_.load_url(*feed_url_, protocol::feed_timeout_seconds, protocol::max_feed_bytes,
                       [this](UrlResponse response) {
                           // The completion runs on the URL worker; everything else happens on the main thread.
                           host_.dispatch_main([this, response = std::move(response)] { feed_loaded(response); });
                       });
    } catch (...) {
        Outcome outcome;
        outcome.error = error(CheckError::Kind::request_failed, exception_text("load"));
        log("Update check failed: the feed could not be requested (" + outcome.error.detail + ")");
        conclude(outcome);
    }
}

void UpdaterController::feed_loaded(const UrlResponse& response) {
    Outcome outcome;
    try {
        outcome = evaluate(response);
    } catch (...) {
        outcome = Outcome{};
        outcome.error = error(CheckError::Kind::internal, exception_text("check"));
        log("Update check failed: the update information could not be processed (" + outcome.error.detail + ")");
    }
    if (outcome.notes_link) {
        add_linked_notes(std::move(outcome));
        return;
    }
    conclude(outcome);
}

// The notes page is fetched under the feed's own bounds, and whatever happens to it the offer is
// made: notes that cannot be read are left out, never the update.
void UpdaterController::add_linked_notes(Outcome outcome) {
    const std::string link = *outcome.notes_link;
    outcome.notes_link.reset();
    auto waiting = std::make_shared<Outcome>(std::move(outcome));
    const auto finish = [this, waiting](const UrlResponse& response) {
        const bool fetched = response.error_code == 0 && (response.http_status == -1 ||
                                                          (response.http_status >= 200 && response.http_status <= 299));
        const auto text = fetched ? protocol::release_notes_text(response.body) : std::nullopt;
        if (text) {
            waiting->offer.release_notes = *text;
        } else {
            log(fetched ? "The release notes are not text: the offer goes without them"
                        : "The release notes could not be downloaded (" +
                              (response.error_code != 0 ? response.error_description
                                                        : "HTTP " + std::to_string(response.http_status)) +
                              "): the offer goes without them");
        }
        conclude(*waiting);
    };
    try {
        host_.load_url(link, protocol::feed_timeout_seconds, protocol::max_feed_bytes,
                       [this, finish](UrlResponse response) {
                           host_.dispatch_main([finish, response = std::move(response)] { finish(response); });
                       });
    } catch (...) {
        log(exception_text("The release notes could not be requested"));
        conclude(*waiting);
    }
}

// A check the user asked for waits for no rollout group; a scheduled one takes the user's.
protocol::ItemAudience UpdaterController::audience(CheckKind kind) {
    protocol::ItemAudience audience;
    audience.channels = bundle_channels_;
    for (std::string& channel : protocol::read_user_channels(channels_file_))
        if (std::find(audience.channels.begin(), audience.channels.end(), channel) == audience.channels.end())
            audience.channels.push_back(std::move(channel));
    audience.now = static_cast<std::int64_t>(host_.now()) + protocol::seconds_from_1970_to_2001;
    audience.installed_version = application_.version;
    if (kind == CheckKind::scheduled) {
        const protocol::RolloutNumber number = protocol::user_rollout_number(rollout_file_);
        if (!number.kept) log("The rollout number could not be kept in the state folder: this check draws its own");
        audience.rollout_group = protocol::rollout_group_of(number.value);
    }
    return audience;
}

UpdaterController::Outcome UpdaterController::evaluate(const UrlResponse& response) {
    Outcome outcome;
    if (response.error_code != 0) {
        const std::string description = response.error_description.empty()
                                            ? "URL error " + std::to_string(response.error_code)
                                            : response.error_description;
        outcome.error = error(CheckError::Kind::download_failed, description);
        log("Feed download failed: " + description);
        return outcome;
    }
    // -1: not an HTTP address (a file, say), so there is no status to check.
    if (response.http_status != -1 && (response.http_status < 200 || response.http_status > 299)) {
        outcome.error = error(CheckError::Kind::server_status, {}, response.http_status);
        log("Feed download failed: HTTP " + std::to_string(response.http_status));
        return outcome;
    }
    log("Feed loaded: " + std::to_string(response.body.size()) + " bytes, HTTP " +
        std::to_string(response.http_status));

    // Only the item to offer is kept: the feed's size is bounded, but a feed of tiny items would
    // otherwise cost many times its bytes.
    // A bundle that requires a signed feed reads only what its release key signed.
    const protocol::FeedCheck trusted = feed_guard_.check(response.body, protocol::FeedFile::appcast,
                                                          static_cast<std::int64_t>(host_.now()) +
                                                              protocol::seconds_from_1970_to_2001);
    if (!trusted.accepted) {
        outcome.error = error(CheckError::Kind::feed_unreadable, trusted.refusal);
        log("Feed refused: " + trusted.refusal);
        return outcome;
    }
    protocol::AppcastChoice choice;
    const protocol::ItemAudience who = audience(running_.value_or(CheckKind::scheduled));
    try {
        choice = protocol::choose_from_appcast(trusted.body, who);
    } catch (const protocol::AppcastError& e) {
        outcome.error = error(CheckError::Kind::feed_unreadable, e.what());
        log(std::string("Feed refused: ") + e.what());
        return outcome;
    }
    if (const int failed = feed_guard_.accept(protocol::FeedFile::appcast, trusted); failed != 0)
        log(std::string("Could not keep the feed's serial: ") + std::strerror(failed));
    log("Feed has " + std::to_string(choice.item_count) + " items");
    if (delegate_.did_finish_loading_appcast) {
        delegate_.did_finish_loading_appcast();
    }

    if (choice.newest_not_due &&
        (!choice.best ||
         protocol::compare_versions(choice.best->version, *choice.newest_not_due) == protocol::Ordering::ascending))
        log("Version " + *choice.newest_not_due + " is rolled out in phases and this user's group (" +
            std::to_string(*who.rollout_group + 1) + " of " + std::to_string(protocol::rollout_groups) +
            ") is not due for it yet");
    const protocol::AppcastItem* best = choice.best ? &*choice.best : nullptr;
    if (best == nullptr) {
        std::string channels;
        for (const std::string& channel : who.channels) channels += ", " + channel;
        log("No item for " + std::string(protocol::this_operating_system) + " on the default channel" + channels);
        outcome.result = Outcome::Result::up_to_date;
        return outcome;
    }
    log("Newest item: version " + best->version);
    outcome.offer.version = best->version;
    outcome.offer.display_version = best->short_version.value_or("");
    outcome.offer.download_address = !best->link.empty() ? best->link : best->enclosure ? best->enclosure->url : "";
    outcome.offer.choices = {UpdateChoice::remind_later, UpdateChoice::skip_version};
    outcome.result = protocol::compare_versions(application_.version, best->version) == protocol::Ordering::ascending
                         ? Outcome::Result::update_available
                         : Outcome::Result::up_to_date;
    if (outcome.result == Outcome::Result::update_available && running_ == CheckKind::scheduled &&
        was_skipped(best->version)) {
        outcome.result = Outcome::Result::skipped;
    }
    // A version that was put back after it could not start would be installed and put back at every
    // start; only a check the user asks for offers it again.
    if (outcome.result == Outcome::Result::update_available && running_ == CheckKind::scheduled &&
        version_failed_to_start(host_, best->version)) {
        outcome.result = Outcome::Result::failed_to_start;
    }
    // One update at a time: while one waits for the application to quit, nothing else is offered.
    if (outcome.result == Outcome::Result::update_available && waiting_offer_ && pending_->waiting_version()) {
        outcome.result = Outcome::Result::waiting;
    }
    if (outcome.result == Outcome::Result::update_available) {
        choose_actions(*best, outcome);
        if (const auto notes = best->description ? protocol::release_notes_text(*best->description) : std::nullopt) {
            outcome.offer.release_notes = *notes;
        } else if (best->release_notes_link && protocol::is_fetchable_notes_link(*best->release_notes_link)) {
            // A signed feed is read from its signed part alone, so this link is one the key vouched for.
            outcome.notes_link = best->release_notes_link;
        }
    }
    return outcome;
}

// Install is offered only when there is an archive and this user can replace the bundle; an
// application installed for all users is updated by whoever installed it, so nothing is downloaded.
void UpdaterController::choose_actions(const protocol::AppcastItem& item, Outcome& outcome) {
    // The system's package manager owns this copy: an update it did not make would be undone, or
    // fought over, at its next upgrade. The user is told, and nothing is downloaded.
    if (application_.package_managed) {
        log("A system package installed this copy: version " + item.version +
            " is only announced, and the package manager installs it");
        return;
    }
    if (!item.enclosure || item.enclosure->url.empty()) {
        log("Version " + item.version + " has no enclosure: it cannot be installed from here");
        return;
    }
    const auto bundle = host_.bundle_path();
    if (!bundle) {
        log("The application's bundle cannot be told: the update cannot be installed from here");
        return;
    }
    if (!can_replace(*bundle)) {
        log("This user cannot replace " + bundle->string() +
            ": whoever installed it must update it, and nothing is downloaded");
        outcome.offer.installed_by_someone_else = true;
        return;
    }
    outcome.offer.choices = {UpdateChoice::install, UpdateChoice::remind_later, UpdateChoice::skip_version};
    outcome.enclosure = *item.enclosure;
    outcome.bundle = *bundle;
}

// The check stays running until the installation ends, so that no other check starts meanwhile.
void UpdaterController::install(const Outcome& outcome, const std::function<void()>& done) {
    InstallRequest request;
    request.application = application_;
    request.offer = outcome.offer;
    request.enclosure = *outcome.enclosure;
    request.bundle = outcome.bundle;
    request.running = running_bundle_info(host_);
    request.held_launch = held_launch_;
    UpdateInstallation::start(host_, driver_, *pending_, std::move(request),
                              [this, done, offer = outcome.offer](const InstallResult& result) {
                                  switch (result.kind) {
                                      case InstallResult::Kind::installed:
                                          installed_launcher_ = result.launcher;
                                          break;
                                      case InstallResult::Kind::ready_on_quit:
                                          waiting_offer_ = offer;
                                          break;
                                      case InstallResult::Kind::waits_for_other_copies:
                                          // Nothing replaced this version, so a held launch starts it.
                                          last_user_check_offered_ = false;
                                          break;
                                      case InstallResult::Kind::failed:
                                      case InstallResult::Kind::cancelled:
                                          break;
                                  }
                                  done();
                              });
}

void UpdaterController::conclude(const Outcome& outcome) {
    const CheckKind kind = running_.value_or(CheckKind::scheduled);
    // The check counts as running until the user is done with what the driver shows, so that a
    // timer served meanwhile does not start another one; it is rescheduled once the check ends.
    auto finished = std::make_shared<bool>(false);
    const std::function<void()> done = [this, kind, attempted = outcome.attempted, finished] {
        if (!std::exchange(*finished, true)) {
            finish_check(kind, attempted);
        }
    };
    try {
        report(kind, outcome, done);
    } catch (...) {
        log(exception_text("Reporting the update check failed"));
        done();
    }
}

void UpdaterController::finish_check(CheckKind kind, bool attempted) {
    running_.reset();
    if (attempted) {
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

void UpdaterController::report(CheckKind kind, const Outcome& outcome, const std::function<void()>& done) {
    const bool user_initiated = kind == CheckKind::user_initiated;
    switch (outcome.result) {
        case Outcome::Result::failed:
            log("Result: check failed");
            if (user_initiated) {
                driver_.show_error(application_, outcome.error, done);
                return;
            }
            break;
        case Outcome::Result::up_to_date:
            log("Result: up to date (bundle " + application_.version + ", newest " +
                (outcome.offer.version.empty() ? "none" : outcome.offer.version) + ")");
            if (user_initiated) {
                driver_.show_up_to_date(application_, done);
                return;
            }
            break;
        case Outcome::Result::skipped:
            log("Result: version " + outcome.offer.version + " is available but the user skipped it: not offered");
            break;
        case Outcome::Result::failed_to_start:
            log("Result: version " + outcome.offer.version +
                " is available but could not start here before: not offered");
            break;
        case Outcome::Result::waiting:
            log("Result: version " + outcome.offer.version + " is available, but version " +
                pending_->waiting_version().value_or("?") +
                " waits to be installed when the application quits: "
                "nothing offered");
            if (user_initiated) {
                driver_.show_ready_to_install_on_quit(application_, *waiting_offer_, done);
                return;
            }
            break;
        case Outcome::Result::update_available: {
            log("Result: version " + outcome.offer.version + " is available (bundle " + application_.version + ")");
            std::string choices;
            for (const UpdateChoice choice : outcome.offer.choices) {
                choices += choices.empty() ? "" : ", ";
                choices += choice == UpdateChoice::install        ? "install"
                           : choice == UpdateChoice::remind_later ? "remind me later"
                                                                  : "skip this version";
            }
            log("Offered version " + outcome.offer.version + " (" + choices + ")");
            if (user_initiated) last_user_check_offered_ = true;
            driver_.show_update_found(application_, outcome.offer, [this, done, outcome](UpdateChoice choice) {
                switch (choice) {
                    case UpdateChoice::remind_later:
                        log("The user chose Remind Me Later: the update is offered again at a later check");
                        break;
                    case UpdateChoice::skip_version:
                        skip_version(outcome.offer.version);
                        break;
                    case UpdateChoice::install:
                        if (!outcome.enclosure) {
                            log("The user chose Install Update, which was not offered: nothing is installed");
                            break;
                        }
                        log("The user chose Install Update");
                        try {
                            install(outcome, done);
                        } catch (...) {
                            log(exception_text("The update could not be installed"));
                            done();
                        }
                        return;
                }
                done();
            });
            return;
        }
    }
    done();
}

CheckError UpdaterController::error(CheckError::Kind kind, std::string detail, int http_status) const {
    CheckError e;
    e.kind = kind;
    e.feed_url = feed_url_.value_or("");
    e.detail = std::move(detail);
    e.http_status = http_status;
    return e;
}

void UpdaterController::record_last_check() {
    if (!state_file_) {
        return;
    }
    try {
        write_last_check(*state_file_, host_.now());
    } catch (const std::exception& e) {
        log(std::string("Could not store the last check time: ") + e.what());
    }
}

// A version the user skipped, or an older one, is not offered by scheduled checks; a newer one is.
bool UpdaterController::was_skipped(const std::string& version) {
    if (!skipped_file_) {
        return false;
    }
    std::string refused;
    const auto skipped = read_skipped_version(*skipped_file_, &refused);
    if (!refused.empty()) {
        log("Ignoring the skipped version: " + refused);
    }
    return skipped && protocol::compare_versions(*skipped, version) != protocol::Ordering::ascending;
}

void UpdaterController::skip_version(const std::string& version) {
    if (!skipped_file_) {
        log("The user chose Skip This Version, but there is no state directory to remember it in");
        return;
    }
    try {
        write_skipped_version(*skipped_file_, version);
    } catch (const std::exception& e) {
        log(std::string("Could not remember the skipped version: ") + e.what());
        return;
    }
    log("The user chose Skip This Version: scheduled checks no longer offer version " + version);
}

void UpdaterController::log(std::string_view message) {
    try {
        host_.log(message);
    } catch (...) {
        // Logging must never be the reason a check goes wrong.
    }
}

}  // namespace kestrova::updater
