// The launcher's named routines.
#pragma once

#include "kestrova/burned_in_data.h"
#include "kestrova/export.h"

namespace kestrova {

// Fails the launch: prints the formatted message (what went wrong and what to do) and a newline on
// standard error; before the application runs, puts a new version's previous one back and starts
// it in this process (which then tells the user); otherwise shows the line in the alert to a GUI
// user who does not see standard error, and ends the process with status 1. Any thread; a second
// failure meanwhile only ends the process.
[[noreturn]] KESTROVA_EXPORT void bail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs the current thread's run loop in the default mode, kept alive by a timer that never fires,
// until the loop reports it has nothing left to run. Returns that last run result.
KESTROVA_EXPORT int run_cocoa_event_loop();

// Shows the modal alert on the main thread; returns once the user has dismissed it.
KESTROVA_EXPORT void show_alert(const char* title, const char* message);

// The update start-up, on the main thread before the JVM exists: creates the update log, finds the
// update framework, runs the launch gate when a check is forced (which may end the process), and
// registers the launch observer.
KESTROVA_EXPORT void setup_sparkle(bool aggressive_updates, bool console);

// Registers one observer of the application's did-finish-launching notification that starts the
// updater, and a user-initiated check right away when `check_on_launch` is true.
KESTROVA_EXPORT void setup_finish_launch_observer(bool check_on_launch);

// Asks for a user-initiated update check on the main thread; returns at once. Any thread.
KESTROVA_EXPORT void check_for_updates();

}  // namespace kestrova

extern "C" {
// Exported for code that expects the JDK launcher's allocator in the process; the launcher itself
// never calls it.
KESTROVA_EXPORT void* JLI_MemAlloc(std::size_t size);
}
