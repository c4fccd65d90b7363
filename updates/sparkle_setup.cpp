// The update start-up: the update log, the framework's availability, the forced check, the launch
// observer that starts the updater, and user-initiated check requests.
#include <cstdlib>
#include <memory>

#include "kestrova/kestrova.h"
#include "platform/autorelease_pool.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"
#include "platform/update_framework.h"
#include "updates/update_gate.h"
#include "updates/update_listener.h"
#include "updates/update_log.h"

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

}  // namespace

void kestrova::setup_sparkle(bool aggressive_updates, bool console) {
    platform::AutoreleasePool pool;
    updates::update_log = platform::UpdateLog::create(update_log_subsystem, update_log_category);

    framework = platform::load_update_framework();
    if (framework == nullptr) {
        log_record("Sparkle Framework is not available, no updates will occur.");
        return;
    }

    // Only the variable's presence counts: an empty value forces the check too.
    const bool forced = aggressive_updates || std::getenv("FORCE_UPDATE_CHECK") != nullptr;
    log_record("Registering NSApplicationDidFinishLaunchingNotification callback for starting Sparkle.");
    if (forced) updates::run_update_gate(*framework, console);
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
            if (check_on_launch && updater_controller != nullptr)
                framework->controller_check_for_updates(updater_controller);
        });
}

bool kestrova::updates::last_check_offered_update() {
    return framework != nullptr && updater_controller != nullptr &&
           framework->controller_last_check_offered_update != nullptr &&
           framework->controller_last_check_offered_update(updater_controller) != 0;
}

void kestrova::check_for_updates() {
    platform::dispatch_async_main([] {
        log_record("Checking for updates ...");
        // Before the launch observer has run there is no controller: the request is not kept.
        if (updater_controller != nullptr) framework->controller_check_for_updates(updater_controller);
    });
}
