// The launcher's side of a new version's first start: until its application has shown it runs
// (main has run a few seconds, or the process ended without a failure before), the previous
// version is kept beside the bundle by the update framework, and a failure before that point puts
// it back and starts it in the same process, with the same arguments, its exit status the
// launch's. Each failure path calls in here once; the framework does the exchange. A failure is
// the version's when it is a launch failure, an exception out of main or a crash; an end by
// SIGTERM, SIGINT or SIGHUP (the user, a logout) is not.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// At start, once the framework is loaded and before updates left by earlier runs are installed:
// makes this process the first start of a newly installed version (end_first_start then decides
// at the end of the process), or,
// when an earlier first start died before its application ran, puts the previous version back and
// starts it now. Main thread.
void begin_first_start(const KestrovaUpdaterApi& framework, bool console);

// The application's main method is about to run: the first start is confirmed once main has run
// a few seconds. JVM thread.
void application_starting();

// The new version has shown it runs (or was left deliberately): the kept previous version goes.
// Any thread.
void confirm_first_start();

// At the end of the process, with its status: confirms the first start when it ended with 0 or
// after the application started (it chose its own status), leaves it for the next start when a
// termination signal ended the JVM, and otherwise puts the previous version back and starts it.
void end_first_start(int status) noexcept;

// A failure before the application has shown it runs that does not end through end_process (the
// JVM aborting, the launch record refused before main, an exception out of main): puts the
// previous version back and starts it when this start is a new version's first; returns when there
// is nothing to put back or it cannot start. Loads the framework itself when nothing has yet. Any
// thread.
void roll_back_first_start(bool console);

}  // namespace kestrova::updates
