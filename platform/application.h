// The shared application: finishes launching once (posting did-finish-launching), then serves the
// main run loop until stopped.
#pragma once

namespace kestrova::platform {

class Application {
public:
    static Application& shared();

    // Finishes launching if it has not yet, then runs the main run loop until stop(). Main thread.
    void run();
    // Ends the current run(); a no-op when run() is not running. Callable from any thread.
    void stop();
    // Posts did-finish-launching the first time it is called; later calls do nothing. Main thread.
    void finish_launching();
    bool is_running() const;

    // The launcher's main thread is about to serve its event loop in a launch with a user interface.
    // Where a user-interface toolkit in the process starts the shared application by itself, this
    // does nothing; where none does, the shared application finishes launching here, before the
    // loop serves anything posted to it. Main thread.
    void main_event_loop_will_start();

    struct Impl;
    Application();

private:
    Impl* impl_;  // never freed, see never_destroyed.h
};

}  // namespace kestrova::platform
