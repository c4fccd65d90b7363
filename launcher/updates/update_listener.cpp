#include "launcher/updates/update_listener.h"

#include <string>

#include "launcher/updates/delay_text.h"
#include "launcher/updates/update_log.h"

namespace kestrova {

KestrovaUpdateListener::KestrovaUpdateListener()
    : delegate_{this,
                [](void* self) {
                    static_cast<KestrovaUpdateListener*>(self)->updater_did_finish_loading_appcast(nullptr, nullptr);
                },
                [](void* self, double delay) {
                    static_cast<KestrovaUpdateListener*>(self)->updater_will_schedule_update_check_after_delay(nullptr,
                                                                                                               delay);
                }} {}

void KestrovaUpdateListener::updater_did_finish_loading_appcast(const void*, const void*) {
    updates::log_record("Finished loading appcast.");
}

void KestrovaUpdateListener::updater_will_schedule_update_check_after_delay(const void*, double delay) {
    const std::string text = format_schedule_delay(delay);
    updates::log_record("Will schedule update check after delay %{public}@", {text});
}

}  // namespace kestrova
