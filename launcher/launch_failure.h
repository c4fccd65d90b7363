// The one way a launch fails: a new version put back once, the alert shown once, the process
// ended once, whichever of the launch's threads and hooks finds the failure first.
#pragma once

#include <jni.h>

#include <string>
#include <string_view>

namespace kestrova {

// A launch that fails: before the application runs, or by an exception out of its main method.
struct LaunchFailure {
    // What went wrong and what to do, one line, already on standard error; empty when the JVM or
    // Java printed what went wrong there itself.
    std::string_view line = {};
    // What the alert quotes of it, when that is not `line` (the exception the JVM described).
    std::string_view alert_line = {};
    // What the alert advises; empty for the advice that fits `line`.
    std::string_view advice = {};
    // An exception out of main: the new version has not shown it runs either, so it is put back
    // although the application started.
    bool out_of_main = false;
    // The alert of an exception out of main: the application's own text, for every GUI user.
    const char* exception_text = nullptr;
    // Set when the JVM exists: the process ends through Java, its shutdown hooks run.
    JNIEnv* env = nullptr;
};

// Puts a new version back, once, and tells the user, once. A new version that fails puts the
// previous one back and starts it, which tells the user instead: the failure's alert would only
// confuse, and follows only when nothing was put back. Never throws. For the JVM's abort hook,
// after which the JVM ends the process itself; everything else calls fail_launch.
void tell_failed_launch(const LaunchFailure& failure) noexcept;

// Puts back, tells and ends with status 1: through Java once the JVM exists, otherwise at once.
[[noreturn]] void fail_launch(const LaunchFailure& failure) noexcept;

// Keeps `text`, which the JVM printed while it was being created, for the alert of a JVM that
// refuses to start: its own reason is there. Thread-safe; the oldest output goes first.
void keep_jvm_creation_output(std::string_view text) noexcept;

// The JVM exists: later failures do not quote what it printed while it was being created.
void forget_jvm_creation_output() noexcept;

// The printf-style message as one string, for a failure that is reported later than it is found.
__attribute__((format(printf, 1, 2))) std::string format_line(const char* format, ...);

}  // namespace kestrova
