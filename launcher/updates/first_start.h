// The launcher's side of a new version's first start: until its application has shown it runs
// (main has run a few seconds, or the process ended without a failure before), the previous
// version is kept beside the bundle by the update framework, and a failure before that point puts
// it back and starts it in the same process, with the same arguments, its exit status the
// launch's. The launcher's one way to fail and the end of the process call in here; the framework
// does the exchange. A failure is
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

// The launch's phase, which the update start-up keeps: before the application's main method runs a
// failure is this version's failure to start; from then on an end with any status is the
// application's own choice.
enum class LaunchPhase { starting, application_running };
LaunchPhase launch_phase();

// The application's main method is about to run: the phase moves on, and the first start is
// confirmed once main has run a few seconds. JVM thread.
void enter_application_phase();

// The new version has shown it runs (or was left deliberately): the kept previous version goes.
// Any thread.
void confirm_first_start();

// From here on the end of the process decides the first start (end_first_start): added to the
// end's actions once, however often it is asked for. Any thread.
void decide_first_start_at_end();

// At the end of the process, with its status: confirms the first start when it ended with 0 or
// after the application started (it chose its own status), leaves it for the next start when a
// termination signal ended the JVM, and otherwise puts the previous version back and starts it.
void end_first_start(int status) noexcept;

// The way back of a failed launch, for the launcher's one way to fail and for the end above: puts
// the previous version back and starts it when this start is a new version's first; returns when
// there is nothing to put back or it cannot start. Only the first call asks the framework: a
// failure that ends the process has its end ask again. Loads the framework itself when nothing
// has yet (the launch record refused before main). Any thread.
void put_back_failed_launch(bool console);

}  // namespace kestrova::updates
