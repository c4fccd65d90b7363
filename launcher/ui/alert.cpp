#include "kestrova/kestrova.h"
#include "platform/alert.h"
#include "platform/application.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"

void kestrova::show_alert(const char* title, const char* message) {
    auto body = [title, message] {
        // The delegate is about to see the application die; it must not react to what the alert
        // itself causes.
        platform::NotificationCenter::default_center().remove_observer(platform::Application::shared().delegate());
        platform::run_modal_alert(title != nullptr ? title : "", message != nullptr ? message : "");
    };
    if (kestrova::data.jvm_on_main_thread) {
        body();
    } else {
        platform::dispatch_async_and_wait_main(body);
    }
}
