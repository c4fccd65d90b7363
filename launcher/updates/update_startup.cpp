// The update start-up: the update log, the framework's availability, the forced check, the launch
// observer that starts the updater, and user-initiated check requests.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "kestrova/kestrova.h"
#include "kestrova/update_settings.h"
#include "launcher/updates/first_start.h"
#include "launcher/updates/installed_version.h"
#include "launcher/updates/update_gate.h"
#include "launcher/updates/update_listener.h"
#include "launcher/updates/update_log.h"
#include "launcher/updates/update_startup.h"
#include "launcher/updates/updater_api_loader.h"
#include "platform/application.h"
#include "platform/autorelease_pool.h"
#include "platform/bundle_info.h"
#include "platform/installation_lock.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"
#include "platform/process.h"

namespace kestrova::updates {

platform::UpdateLog* update_log = nullptr;

void log_record(std::string_view format, std::initializer_list<std::string_view> args) {
    if (update_log != nullptr && update_log->default_enabled()) update_log->write(format, args);
}

}  // namespace kestrova::updates

namespace {

using kestrova::updates::log_record;

constexpr const char* update_log_subsystem = "org.kestrova.launcher";
constexpr const char* update_log_category = "sparkle";

// The framework's answer to the availability test; null when it is not in the bundle. Written once
// by setup_sparkle before any other thread exists.
const KestrovaUpdaterApi* framework = nullptr;

// The standard updater controller, once the launch observer has created it. Main thread only.
void* updater_controller = nullptr;

// Ends a start that an update left with nothing of its own to run: the bundle's files are another
// version's now (this copy or another installed it), so going on would start a mix of the two. An
// update problem never changes the exit status, and this is not one: the update went in, and it is
// the start that cannot go on, which ends as every launch failure does, with status 1 and one line
// on standard error saying what to do.
[[noreturn]] void end_start_after_installation(const std::string& what_to_do) {
    std::fputs(what_to_do.c_str(), stderr);
    std::fputc('\n', stderr);
    kestrova::platform::end_process(1);
}

// A launcher path that the framework copies out (its length returned, -1 for none). One call
// only: installing a left-over update is not a query that can be asked twice. Linux takes no
// longer path to execute, so a longer one is reported as one that cannot be started.
template <typename Copy>
std::optional<std::string> copied_launcher_path(Copy copy) {
    constexpr std::size_t path_max = 4096;
    std::string path(path_max, '\0');
    const long length = copy(path.data(), path.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) >= path.size()) {
        // Installed all the same, so the next start from a shorter path runs it.
        log_record("Could not start the installed version: its path is longer than 4096 bytes.");
        end_start_after_installation(
            "The application's update is installed, but its path is too long to start it; "
            "move the application to a shorter path and start it again.");
    }
    path.resize(static_cast<std::size_t>(length));
    return path;
}

// How long a start waits for another copy that is replacing the installation right now: an install
// takes seconds, and a copy that holds the lock longer is stuck, so this one starts as it is.
constexpr double install_wait_seconds = 60;

std::string application_name() {
    const kestrova::InfoLookup info = [](std::string_view key) {
        return kestrova::platform::info_dictionary_string(key);
    };
    return kestrova::read_update_settings(info).application_name;
}

// Locks the installation for as long as this copy runs, so that no other copy replaces it under
// this one. A copy that was replacing it meanwhile is waited for; when it installed another
// version, that version starts in this one's place, as the held launch would. So does a start
// whose tree such a copy had moved away before this one locked it.
void lock_installation() {
    namespace platform = kestrova::platform;
    const auto outcome = platform::lock_installation(install_wait_seconds, [] {
        log_record("Waiting for another copy of %{public}@ to finish installing an update", {application_name()});
    });
    switch (outcome) {
        case platform::InstallationLock::exclusive:
        case platform::InstallationLock::shared:
            return;
        case platform::InstallationLock::timed_out:
            log_record(
                "Another copy of %{public}@ was still installing an update after 60 seconds: this copy starts "
                "as it is, and other copies may replace it while it runs",
                {application_name()});
            return;
        case platform::InstallationLock::unavailable:
            log_record("The installation could not be locked, so other copies may replace it while this one runs");
            return;
        case platform::InstallationLock::not_installer:
            log_record(
                "This user may not change the installation of %{public}@, so this copy takes no lock and waits for "
                "none: whoever installed it updates it",
                {application_name()});
            return;
        case platform::InstallationLock::moved:
            log_record(
                "Another copy of %{public}@ moved the tree this one started from away with an update, so the "
                "version installed in its place starts",
                {application_name()});
            break;
        case platform::InstallationLock::waited:
            break;
    }
    const std::string bundle = platform::installation_path();
    if (outcome == platform::InstallationLock::waited && platform::installation_at(bundle) != false)
        return;  // nothing was replaced meanwhile
    if (const auto launcher = platform::installation_launcher(bundle)) {
        kestrova::updates::start_installed_version(*launcher);
    }
    // The tree this copy was started from is gone or going: nothing of it can run.
    log_record("Another copy of %{public}@ replaced the installation while this one started", {application_name()});
    end_start_after_installation("Another copy of " + application_name() +
                                 " replaced it with an update while it started; start " + application_name() +
                                 " again.");
}

// Whether the updater's last user-initiated check offered the user a newer version; false when no
// updater was started. Main thread.
bool last_check_offered_update() {
    return framework != nullptr && updater_controller != nullptr &&
           framework->controller_last_check_offered_update != nullptr &&
           framework->controller_last_check_offered_update(updater_controller) != 0;
}

// After the hold's check: the launcher of the version it installed in place of the bundle; nothing
// when it installed none. Main thread.
std::optional<std::string> installed_launcher() {
    if (framework == nullptr || updater_controller == nullptr || framework->controller_installed_launcher == nullptr)
        return std::nullopt;
    return copied_launcher_path([](char* buffer, std::size_t size) {
        return framework->controller_installed_launcher(updater_controller, buffer, size);
    });
}

// The gate's hold: nothing but the updater runs. Launching finishes, the observer starts a check
// with its dialog, and the updater ends the run once the user has dismissed it. Either the version
// the check installed starts in this process's place, or a declined or failed install ends the
// process with status 0; a check that offered nothing newer held the launch for nothing, so it
// returns and the application starts.
void hold_launch_for_update_check() {
    kestrova::setup_finish_launch_observer(true);
    kestrova::platform::Application::shared().run();
    // The user installed the update: the new version starts instead of this one, with the same
    // arguments, and ends the launch with its own status.
    if (const auto launcher = installed_launcher()) kestrova::updates::start_installed_version(*launcher);
    if (last_check_offered_update()) kestrova::platform::end_process(0);
    // metadata.properties announced more than the feed delivers: the user must not be locked out.
    log_record("The update check found no newer version to install, so the application starts.");
}

// The end of the process installs what the application's run has downloaded and checked, after a
// first start that has not yet shown it runs is decided (an action added earlier). Runs on
// whichever thread ends the process, while others may still run: the framework's call is made for
// any thread. Nothing may escape into the end of the process.
void install_pending_update(int) noexcept {
    if (framework->install_pending_update == nullptr) return;
    framework->install_pending_update();
}

}  // namespace

namespace {

// Locks the installation, then watches a new version's first start and installs an update an earlier
// run left, before anything of this version has started.
void start_installation(bool console) {
    namespace updates = kestrova::updates;
    lock_installation();

    // A new version's first start: a start that died before its application ran puts the previous
    // version back and starts it instead.
    if (!console) updates::begin_first_start(*framework, console);

    // An update that an earlier run downloaded but did not live to install (it was killed), or that
    // waited for other copies to quit, goes in now, before anything of this version has started,
    // and the new version starts in its place. What interrupted installs left beside the bundle is
    // removed on the way. A console application never starts the updater, so no run of it can have
    // left anything.
    if (!console && framework->install_left_update != nullptr) {
        if (auto launcher = copied_launcher_path(framework->install_left_update))
            updates::start_installed_version(*launcher);
    }
}

}  // namespace

void kestrova::setup_sparkle(bool aggressive_updates, bool console) {
    platform::AutoreleasePool pool;
    updates::update_log = platform::UpdateLog::create(update_log_subsystem, update_log_category);

    framework = updates::load_update_framework();
    if (framework == nullptr) {
        log_record("Sparkle Framework is not available, no updates will occur.");
        return;
    }

    // The package manager replaces such a copy; this copy never installs anything, so it needs no
    // lock (and leaves no lock file in a tree the package manager owns and removes), has no first
    // start to watch and no update left over.
    const bool package_managed = kestrova::read_update_settings([](std::string_view key) {
                                     return platform::info_dictionary_string(key);
                                 }).package_managed;
    if (package_managed) {
        log_record(
            "The system's package manager installed this copy and replaces it, so it takes no installation lock.");
    } else {
        start_installation(console);
        // From here on other copies may start beside this one; the gate's check may take minutes.
        platform::share_installation_lock();
    }

    // Only the variable's presence counts: an empty value forces the check too.
    const bool forced = aggressive_updates || std::getenv("FORCE_UPDATE_CHECK") != nullptr;
    log_record("Registering NSApplicationDidFinishLaunchingNotification callback for starting Sparkle.");
    if (forced && updates::launch_is_held_for_update(*framework, console)) hold_launch_for_update_check();
    setup_finish_launch_observer(false);
}

void kestrova::setup_finish_launch_observer(bool check_on_launch) {
    // The token is dropped: the observer stays for the life of the process.
    platform::NotificationCenter::default_center().add_observer(
        platform::application_did_finish_launching, [check_on_launch](const platform::Notification&) {
            log_record("Starting Sparkle.");
            // The listener and the controller live until the process ends.
            auto* listener = std::make_unique<KestrovaUpdateListener>().release();
            updater_controller = framework->controller_create(listener->delegate());
            if (check_on_launch && updater_controller != nullptr) {
                // Only the gate's hold checks on launch: the application has not started, so an
                // update the user installs from this check replaces the bundle at once.
                if (framework->controller_hold_launch != nullptr) framework->controller_hold_launch(updater_controller);
                framework->controller_check_for_updates(updater_controller);
            }
        });
}

void kestrova::updates::application_starting() {
    enter_application_phase();
    if (framework == nullptr) return;
    decide_first_start_at_end();
    platform::run_before_end_of_process(&install_pending_update);
}

void kestrova::check_for_updates() {
    platform::dispatch_async_main([] {
        log_record("Checking for updates ...");
        // Before the launch observer has run there is no controller: the request is not kept.
        if (updater_controller != nullptr) framework->controller_check_for_updates(updater_controller);
    });
}
