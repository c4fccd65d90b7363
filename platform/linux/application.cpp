#include "platform/application.h"

#include <atomic>

#include "platform/main_queue.h"
#include "platform/never_destroyed.h"
#include "platform/notifications.h"
#include "platform/run_loop.h"

namespace kestrova::platform {

struct Application::Impl {
    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
    bool finished_launching = false;  // main thread only
};

Application::Application() : impl_(new Impl) {}

Application& Application::shared() {
    static NeverDestroyed<Application> application;
    return application.get();
}

bool Application::is_running() const { return impl_->running.load(); }

// No toolkit on Linux starts the shared application, so the event loop's start stands in for it.
void Application::main_event_loop_will_start() { finish_launching(); }

void Application::finish_launching() {
    if (impl_->finished_launching) return;
    impl_->finished_launching = true;
    NotificationCenter::default_center().post(application_did_finish_launching, this);
}

void Application::run() {
    impl_->stop_requested = false;
    impl_->running = true;
    finish_launching();
    RunLoop& loop = RunLoop::main();
    // The loop is kept alive by a timer that never fires, as in the launcher's own parking loop.
    auto keep_alive = Timer::create(1e20, 0, [](Timer*) {});
    loop.add_timer(keep_alive);
    while (!impl_->stop_requested) loop.run_in_default_mode(1e20, true);
    keep_alive->invalidate();
    impl_->running = false;
}

void Application::stop() {
    if (!impl_->running) return;
    impl_->stop_requested = true;
    RunLoop::main().stop();
}

}  // namespace kestrova::platform
