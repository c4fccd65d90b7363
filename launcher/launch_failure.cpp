// The one way a launch fails (launcher/launch_failure.h), and kestrova::bail, which fails it with
// one line on standard error.
#include "launcher/launch_failure.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

#include "core/launch_failure.h"
#include "kestrova/bundle_facts.h"
#include "kestrova/kestrova.h"
#include "launcher/jvm_host.h"
#include "launcher/updates/first_start.h"
#include "platform/alert.h"
#include "platform/bundle_info.h"
#include "platform/executable_path.h"
#include "platform/process.h"
#include "platform/reserved_area.h"

namespace kestrova {

namespace {

constexpr const char* alert_title = "The application has experienced an internal error and must quit.";

// The console flag read from the area's flags byte itself: a damaged record stops the launch before
// kestrova::data exists, and that byte is still the one the record was burned with.
bool launch_is_console() {
    return (static_cast<unsigned char>(kestrova_reserved_area[0]) & kestrova::flag_console) != 0;
}

// Whether a launch failure also goes to the alert: an application with a GUI started where nobody
// reads standard error (a desktop menu, a file manager), with a display to show the dialog on.
bool launch_failure_alert_wanted() {
    return kestrova::launch_failure_wants_alert(launch_is_console(),
                                                kestrova::platform::standard_error_is_terminal()) &&
           kestrova::platform::can_show_dialog();
}

// What the JVM printed while it was being created: its own reason when it refuses to start. The
// JVM's output hook fills it; it is cleared once the JVM exists, so later failures do not quote it.
std::mutex jvm_output_mutex;
kestrova::JvmOutputTail jvm_creation_output;
// exit() runs while Java threads may still print through the hook.
static_assert(std::is_trivially_destructible_v<kestrova::JvmOutputTail> &&
              std::is_trivially_destructible_v<std::mutex>);

// Shows `line` (already on standard error) in the alert with `advice`, when the user would not see
// it otherwise. Never throws: the caller ends the process right after, whatever happens here.
void show_launch_failure(std::string_view line, std::string_view advice) noexcept {
    try {
        std::string jvm_output;
        {
            std::lock_guard lock(jvm_output_mutex);
            jvm_output = jvm_creation_output.text();
        }
        char executable_path[2048] = {};
        std::uint32_t size = sizeof executable_path;
        const std::string_view executable = kestrova::platform::get_executable_path(executable_path, &size) == 0
                                                ? executable_path
                                                : "";
        const kestrova::InfoLookup info = [](std::string_view key) {
            return kestrova::platform::info_dictionary_string(key);
        };
        const std::string title = kestrova::launch_failure_title(
            kestrova::application_display_name(kestrova::application_name_in(info), executable));
        const std::string text = kestrova::launch_failure_text(line, jvm_output, advice);
        kestrova::show_alert(title.c_str(), text.c_str());
    } catch (...) {
        // Out of memory for the texts: the line on standard error is all there is.
    }
}

// Set by the first failure: a second, on another thread, neither puts back nor alerts again.
std::atomic<bool> launch_failed{false};
static_assert(std::is_trivially_destructible_v<std::atomic<bool>>);

}  // namespace

void tell_failed_launch(const LaunchFailure& failure) noexcept {
    if (launch_failed.exchange(true)) return;
    // Also from the launch record's static initialiser, before main has set up the end of the
    // process: the put back loads the update framework itself.
    if (failure.out_of_main || kestrova::updates::launch_phase() == kestrova::updates::LaunchPhase::starting)
        kestrova::updates::put_back_failed_launch(launch_is_console());
    if (failure.exception_text != nullptr) {
        if (!kestrova::data.console) kestrova::show_alert(alert_title, failure.exception_text);
        return;
    }
    // The line is on standard error as it always has been; a GUI user started from the desktop,
    // who never sees that, gets it in the alert as well.
    if (launch_failure_alert_wanted())
        show_launch_failure(failure.alert_line.empty() ? failure.line : failure.alert_line,
                            failure.advice.empty() ? kestrova::launch_failure_advice(failure.line) : failure.advice);
}

// Puts back, tells and ends with status 1: through Java once the JVM exists, otherwise at once.
void fail_launch(const LaunchFailure& failure) noexcept {
    tell_failed_launch(failure);
    if (failure.env != nullptr) exit_through_java(failure.env, 1);
    kestrova::platform::end_process(1);
}

void keep_jvm_creation_output(std::string_view text) noexcept {
    std::lock_guard lock(jvm_output_mutex);
    jvm_creation_output.append(text);
}

void forget_jvm_creation_output() noexcept {
    std::lock_guard lock(jvm_output_mutex);
    jvm_creation_output.clear();
}

std::string format_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    return line;
}

}  // namespace kestrova

void kestrova::bail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list for_alert;
    va_copy(for_alert, args);
    flockfile(stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    funlockfile(stderr);
    va_end(args);
    // Formatted again into fixed storage: bail is also for being out of memory. A line too long for
    // it is cut in the alert.
    char line[4096];
    std::vsnprintf(line, sizeof line, format, for_alert);
    va_end(for_alert);
    fail_launch({line});
}
