// Per-thread run loop with timers on absolute fire dates, in the manner of CoreFoundation's: the
// main thread parks in it and serves the main queue (main_queue.h) while the JVM runs elsewhere.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace kestrova::platform {

enum class RunLoopResult : int {
    finished = 1,        // the mode has no timers or sources left
    stopped = 2,         // stop() was called
    timed_out = 3,       // the run's time-out passed
    handled_source = 4,  // a source was served and the caller asked to return after one
};

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of absolute fire dates.
double absolute_time_now();

// Converts seconds to a duration, saturating instead of overflowing: 1e20 s ("never") becomes the
// largest representable duration, negative and NaN become zero.
std::chrono::nanoseconds saturating_duration(double seconds);

class Timer;
using TimerCallback = void (*)(Timer* timer, void* info);

class Timer {
public:
    // A timer that fires at `fire_date` (absolute time) and then every `interval` seconds, or only
    // once when `interval` is 0 or less.
    static std::shared_ptr<Timer> create(double fire_date, double interval, TimerCallback callback, void* info);
    static std::shared_ptr<Timer> create(double fire_date, double interval, std::function<void(Timer*)> callback);
    void invalidate();

private:
    friend class RunLoop;
    Timer() = default;
    struct State;
    std::shared_ptr<State> state_;
};

class RunLoop {
public:
    // The calling thread's run loop, created on first use and never destroyed.
    static RunLoop& current();
    // The main thread's run loop; any thread may ask for it (to stop it, for instance).
    static RunLoop& main();

    // Adds a timer to the default mode; the run loop keeps it until it is invalidated or, when it
    // does not repeat, until it has fired.
    void add_timer(std::shared_ptr<Timer> timer);

    // Runs the loop in the default mode on the calling thread, which must be the loop's own.
    RunLoopResult run_in_default_mode(double seconds, bool return_after_source_handled);

    // Makes the innermost run return `stopped`; when the loop is not running, the next run does.
    // Callable from any thread.
    void stop();

    bool is_main() const;

    struct Impl;
    explicit RunLoop(bool is_main);
    Impl& impl() { return *impl_; }

private:
    Impl* impl_;  // never freed, see never_destroyed.h
};

}  // namespace kestrova::platform
