// The launcher's entry: the launch record in its reserved area, main, and the main thread's run
// loop while the JVM host (launcher/jvm_host.h) runs the application on a thread of its own.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrova/kestrova.h"
#include "launcher/bench_marks.h"
#include "launcher/jvm_host.h"
#include "platform/application.h"
#include "platform/class_data_cache.h"
#include "platform/desktop_integration.h"
#include "platform/process.h"
#include "platform/reserved_area.h"
#include "platform/run_loop.h"

namespace {

kestrova::BurnedInData parse_reserved_area() {
    try {
        return kestrova::BurnedInData(kestrova_reserved_area);
    } catch (const kestrova::LaunchRecordError& e) {
        kestrova::bail("%s; package the application again.", e.what());
    }
}

constexpr const char* msg_thread_failed =
    "Could not start the JVM thread with a stack of %u bytes (%s); package the application with "
    "another --stack-size.";

void do_nothing(kestrova::platform::Timer*, void*) {}

}  // namespace

// Built before main by this file's static initialiser; its destructor runs at exit.
kestrova::BurnedInData kestrova::data = parse_reserved_area();

int kestrova::run_cocoa_event_loop() {
    using kestrova::platform::RunLoop;
    using kestrova::platform::RunLoopResult;
    RunLoop& loop = RunLoop::current();
    // A run loop with no timers or sources returns at once; this timer, due in 1e20 seconds
    // (never), keeps the main thread in the loop serving the main queue.
    loop.add_timer(kestrova::platform::Timer::create(1e20, 0, do_nothing, nullptr));
    RunLoopResult result;
    do {
        result = loop.run_in_default_mode(1e20, false);
    } while (result != RunLoopResult::finished);
    return static_cast<int>(result);
}

extern "C" void* JLI_MemAlloc(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) {
        std::perror("malloc");
        kestrova::platform::end_process(1);
    }
    return block;
}

// The command line is kept before the launch record is read (launcher/command_line.h), not here.
KESTROVA_EXPORT int main(int argc, char** argv) {
    KESTROVA_BENCH_START("main-entry");
    // Started again by an earlier start to make its class-data archive: nothing of the application.
    if (const auto job = kestrova::platform::class_data_helper_job(argc, argv))
        return kestrova::platform::run_class_data_job(*job, kestrova::dump_class_data);
    kestrova::platform::prepare_for_threads();
    kestrova::setup_sparkle(kestrova::data.aggressive_updates, kestrova::data.console);
    kestrova::platform::start_desktop_integration(kestrova::data.console);

    if (kestrova::data.jvm_on_main_thread) kestrova::run_jvm(nullptr);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // A size the system rejects leaves its default in place.
    pthread_attr_setstacksize(&attributes, kestrova::data.stack_size);
    pthread_attr_setguardsize(&attributes, 0);
    pthread_t jvm_thread;
    const int error = pthread_create(&jvm_thread, &attributes, kestrova::run_jvm, nullptr);
    if (error != 0) kestrova::bail(msg_thread_failed, kestrova::data.stack_size, std::strerror(error));
    kestrova::wait_for_settled_environment();

    // A console launch has no user interface, so nothing finishes launching the shared application.
    if (!kestrova::data.console) kestrova::platform::Application::shared().main_event_loop_will_start();
    kestrova::run_cocoa_event_loop();
    return 0;
}
