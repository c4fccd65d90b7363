#include "platform/alert.h"
#include "kestrova/kestrova.h"
#include "platform/main_queue.h"

void kestrova::show_alert(const char* title, const char* message) {
    // Where a toolkit's application delegate observes the application's notifications, it is removed
    // as an observer first: it is about to see the application die and must not react to what the
    // alert itself causes. On Linux no toolkit shares the launcher's notification centre, and the
    // shared application has no delegate, so there is nothing to remove.
    auto body = [title, message] {
        platform::run_modal_alert(title != nullptr ? title : "", message != nullptr ? message : "");
    };
    if (kestrova::data.jvm_on_main_thread) {
        body();
    } else {
        platform::dispatch_async_and_wait_main(body);
    }
}
