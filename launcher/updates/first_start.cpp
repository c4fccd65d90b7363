#include "launcher/updates/first_start.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "kestrova/kestrova.h"
#include "launcher/updates/installed_version.h"
#include "launcher/updates/update_log.h"
#include "launcher/updates/updater_api_loader.h"
#include "platform/alert.h"
#include "platform/process.h"

namespace kestrova::updates {

namespace {

// Written by begin_first_start on the main thread before any other thread exists.
bool console_launch = false;
using PutBackEntry = long (*)(char*, std::size_t, char*, std::size_t);

// Asks the framework to put the previous version back; once it has, tells the user and replaces
// this process with the previous launcher. Returns false when nothing was put back, true when the
// previous launcher could not be started (said on standard error).
bool put_back_and_start(PutBackEntry entry, bool console) {
    if (entry == nullptr) return false;
    // Linux takes no longer path to execute.
    std::string launcher(4096, '\0');
    std::string sentence(4096, '\0');
    const long length = entry(launcher.data(), launcher.size(), sentence.data(), sentence.size());
    if (length < 0) return false;
    sentence.resize(std::strlen(sentence.c_str()));
    if (static_cast<std::size_t>(length) >= launcher.size()) {
        std::fprintf(stderr,
                     "%s Its path is too long to start it; move the application to a shorter path and "
                     "start it again.\n",
                     sentence.c_str());
        return true;
    }
    launcher.resize(static_cast<std::size_t>(length));
    std::fprintf(stderr, "%s\n", sentence.c_str());
    if (!console && platform::can_show_dialog()) kestrova::show_alert(sentence.c_str(), "");
    const int error = start_previous_version(launcher);
    std::fprintf(stderr,
                 "The application's previous version is back in place, but it could not be started (%s: %s); "
                 "start the application again to run it.\n",
                 launcher.c_str(), std::strerror(error));
    return true;
}

std::atomic<LaunchPhase> phase{LaunchPhase::starting};
static_assert(std::is_trivially_destructible_v<std::atomic<LaunchPhase>>);

// Set by the first put back asked for; trivially destructible, as the end may come from exit().
std::atomic<bool> put_back_asked{false};

std::atomic<bool> end_decision_added{false};

// The signal that the JVM's own handling of it ended the process for (128 + SIGTERM, SIGINT or
// SIGHUP, the status its shutdown hooks end with), or 0 when `status` is no such end.
int termination_signal_of(int status) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        if (status == 128 + signal) return signal;
    return 0;
}

}  // namespace

void begin_first_start(const KestrovaUpdaterApi& framework, bool console) {
    console_launch = console;
    if (framework.begin_first_start == nullptr) return;
    if (put_back_and_start(framework.begin_first_start, console)) platform::end_process(1);
    decide_first_start_at_end();
}

LaunchPhase launch_phase() { return phase.load(); }

void decide_first_start_at_end() {
    if (!end_decision_added.exchange(true)) platform::run_before_end_of_process(&end_first_start);
}

void enter_application_phase() {
    phase.store(LaunchPhase::application_running);
    const KestrovaUpdaterApi* framework = load_update_framework();
    if (framework != nullptr && framework->application_starting != nullptr) framework->application_starting();
}

void end_first_start(int status) noexcept {
    const KestrovaUpdaterApi* framework = load_update_framework();
    if (framework == nullptr) return;
    if (const int signal = termination_signal_of(status)) {
        if (framework->interrupt_first_start != nullptr) framework->interrupt_first_start(signal);
        return;
    }
    // A deliberate end: status 0 before main (the user left the launch gate's offer), or whatever
    // the application chose once it ran. Its failures (an exception out of main) put back first.
    if (status == 0 || launch_phase() == LaunchPhase::application_running) {
        confirm_first_start();
        return;
    }
    put_back_failed_launch(console_launch);
}

void confirm_first_start() {
    const KestrovaUpdaterApi* framework = load_update_framework();
    if (framework != nullptr && framework->confirm_first_start != nullptr) framework->confirm_first_start();
}

void put_back_failed_launch(bool console) {
    if (put_back_asked.exchange(true)) return;
    if (const KestrovaUpdaterApi* framework = load_update_framework())
        put_back_and_start(framework->roll_back_first_start, console);
}

}  // namespace kestrova::updates
