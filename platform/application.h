// The shared application: finishes launching once (posting did-finish-launching), then serves the
// main run loop until stopped.
#pragma once

namespace kestrova::platform {

class Application {
public:
    static Application& shared();

    const void* delegate() const;
    void set_delegate(const void* delegate);

    // Finishes launching if it has not yet, then runs the main run loop until stop(). Main thread.
    void run();
    // Ends the current run(); a no-op when run() is not running. Callable from any thread.
    void stop();
    // Posts did-finish-launching the first time it is called; later calls do nothing. Main thread.
    void finish_launching();
    bool is_running() const;

    // Whether the main thread's event loop finishes launching when it first runs, before it serves
    // anything posted to it. Stands in for the user-interface toolkit that does so on other
    // platforms; set once by the main thread before other threads start.
    void set_finishes_launching_in_event_loop(bool enabled);
    bool finishes_launching_in_event_loop() const;

    struct Impl;
    Application();

private:
    Impl* impl_;  // never freed, see never_destroyed.h
};

}  // namespace kestrova::platform
