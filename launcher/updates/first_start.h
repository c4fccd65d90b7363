// The launcher's side of a new version's first start: until its application's main method runs,
// the previous version is kept beside the bundle by the update framework, and a failure before
// that point puts it back and starts it in the same process, with the same arguments, its exit
// status the launch's. Each failure path calls in here once; the framework does the exchange.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// At start, once the framework is loaded and before updates left by earlier runs are installed:
// makes this process the first start of a newly installed version (every end of the process with
// a status other than 0 before the application runs then puts the previous version back), or,
// when an earlier first start died before its application ran, puts the previous version back and
// starts it now. Main thread.
void begin_first_start(const KestrovaUpdaterApi& framework, bool console);

// The application's main method is about to run: the kept previous version goes. Any thread.
void confirm_first_start();

// A failure before the application ran that does not end through end_process (the JVM aborting,
// the launch record refused before main): puts the previous version back and starts it when this
// start is a new version's first; returns when there is nothing to put back or it cannot start.
// Loads the framework itself when nothing has yet. Any thread.
void roll_back_first_start(bool console);

}  // namespace kestrova::updates
