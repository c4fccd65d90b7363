#include "platform/run_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/main_queue.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
constexpr double reference_date_offset = 978307200.0;

}  // namespace

double absolute_time_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - reference_date_offset;
}

std::chrono::nanoseconds saturating_duration(double seconds) {
    using std::chrono::nanoseconds;
    if (!(seconds > 0)) return nanoseconds::zero();  // negative and NaN
    const double ns = seconds * 1e9;
    // Compared as doubles: max() itself is not exactly representable, so stay a little below it.
    if (ns >= static_cast<double>(nanoseconds::max().count()) * 0.999) return nanoseconds::max();
    return nanoseconds(static_cast<nanoseconds::rep>(ns));
}

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime saturating_deadline(SteadyTime now, std::chrono::nanoseconds wait) {
    const auto room = SteadyTime::max() - now;
    return wait >= room ? SteadyTime::max() : now + wait;
}

}  // namespace

// One mutex guards every run loop's state and every timer's: loops are few and rarely contended,
// and a timer can then be invalidated from any thread without knowing which loop holds it.
static std::mutex& state_mutex() {
    static NeverDestroyed<std::mutex> mutex;
    return mutex.get();
}

struct Timer::State {
    double fire_date;
    double interval;
    std::function<void(Timer*)> callback;
    bool valid = true;
    RunLoop::Impl* owner = nullptr;  // set once a run loop holds the timer
};

std::shared_ptr<Timer> Timer::create(double fire_date, double interval, TimerCallback callback, void* info) {
    return create(fire_date, interval, [callback, info](Timer* t) { callback(t, info); });
}

std::shared_ptr<Timer> Timer::create(double fire_date, double interval, std::function<void(Timer*)> callback) {
    std::shared_ptr<Timer> timer(new Timer);
    timer->state_ = std::make_shared<State>(State{fire_date, interval, std::move(callback)});
    return timer;
}

struct RunLoop::Impl {
    std::condition_variable wake;
    std::vector<std::shared_ptr<Timer>> timers;
    std::deque<std::function<void()>> main_queue;  // only the main loop's is used
    bool stop_requested = false;
    bool woken = false;
    bool is_main = false;
};

namespace {

void wake_locked(RunLoop::Impl& loop) {
    loop.woken = true;
    loop.wake.notify_all();
}

}  // namespace

void Timer::invalidate() {
    // Only the flag changes here; the run loop drops invalid timers on its next pass and is woken
    // so that a loop kept alive by this timer alone can report that it has finished.
    std::lock_guard lock(state_mutex());
    state_->valid = false;
    if (state_->owner != nullptr) wake_locked(*state_->owner);
}

RunLoop::RunLoop(bool is_main) : impl_(new Impl) { impl_->is_main = is_main; }

bool RunLoop::is_main() const { return impl_->is_main; }

RunLoop& RunLoop::main() {
    static NeverDestroyed<RunLoop> loop(true);
    return loop.get();
}

RunLoop& RunLoop::current() {
    if (is_main_thread()) return main();
    // Other threads' loops are rare (tests, the update framework's workers); they live on too.
    thread_local RunLoop* loop = new RunLoop(false);
    return *loop;
}

void RunLoop::add_timer(std::shared_ptr<Timer> timer) {
    std::lock_guard lock(state_mutex());
    timer->state_->owner = impl_;
    impl_->timers.push_back(std::move(timer));
    wake_locked(*impl_);
}

void RunLoop::stop() {
    std::lock_guard lock(state_mutex());
    impl_->stop_requested = true;
    impl_->wake.notify_all();
}

RunLoopResult RunLoop::run_in_default_mode(double seconds, bool return_after_source_handled) {
    Impl& self = *impl_;
    const SteadyTime deadline = saturating_deadline(std::chrono::steady_clock::now(), saturating_duration(seconds));
    std::unique_lock lock(state_mutex());
    for (;;) {
        if (self.stop_requested) {
            self.stop_requested = false;
            return RunLoopResult::stopped;
        }
        if (self.is_main && !self.main_queue.empty()) {
            auto blocks = std::move(self.main_queue);
            self.main_queue.clear();
            lock.unlock();
            for (auto& block : blocks) block();
            lock.lock();
            if (return_after_source_handled) return RunLoopResult::handled_source;
            continue;
        }

        // Fire what is due; a one-shot timer leaves the loop once it has fired.
        std::erase_if(self.timers, [](const auto& t) { return !t->state_->valid; });
        const double now = absolute_time_now();
        std::shared_ptr<Timer> due;
        for (const auto& t : self.timers) {
            if (t->state_->fire_date <= now) {
                due = t;
                break;
            }
        }
        if (due) {
            Timer::State& state = *due->state_;
            if (state.interval > 0) {
                // Skip missed firings rather than firing them all at once.
                const double missed = std::floor((now - state.fire_date) / state.interval) + 1;
                state.fire_date += missed * state.interval;
            } else {
                state.valid = false;
            }
            auto callback = state.callback;
            lock.unlock();
            callback(due.get());
            lock.lock();
            continue;
        }

        // With no timers left the mode is empty; the main queue is not a source of the mode.
        if (self.timers.empty()) return RunLoopResult::finished;
        const SteadyTime steady_now = std::chrono::steady_clock::now();
        if (steady_now >= deadline) return RunLoopResult::timed_out;

        double earliest = self.timers.front()->state_->fire_date;
        for (const auto& t : self.timers) earliest = std::min(earliest, t->state_->fire_date);
        const SteadyTime next_fire = saturating_deadline(steady_now, saturating_duration(earliest - now));
        // Wall-clock fire dates are rechecked at least hourly, in case the clock was changed.
        const SteadyTime recheck = steady_now + std::chrono::hours(1);
        const SteadyTime wake_at = std::min({deadline, next_fire, recheck});
        self.woken = false;
        self.wake.wait_until(lock, wake_at, [&self] {
            return self.woken || self.stop_requested || (self.is_main && !self.main_queue.empty());
        });
    }
}

// --- The main queue -----------------------------------------------------------------------------

bool is_main_thread() { return gettid() == getpid(); }

void dispatch_async_main(std::function<void()> block) {
    RunLoop::Impl& main = RunLoop::main().impl();
    std::lock_guard lock(state_mutex());
    main.main_queue.push_back(std::move(block));
    wake_locked(main);
}

void dispatch_async_and_wait_main(const std::function<void()>& block) {
    if (is_main_thread()) {
        block();
        return;
    }
    // The waiter's state lives on its stack: the block signals before it returns, and the waiter
    // does not leave until it sees that signal.
    std::mutex done_mutex;
    std::condition_variable done_signal;
    bool done = false;
    dispatch_async_main([&] {
        struct Signal {
            std::mutex& m;
            std::condition_variable& cv;
            bool& flag;
            ~Signal() {
                std::lock_guard lock(m);
                flag = true;
                cv.notify_all();
            }
        } signal{done_mutex, done_signal, done};
        block();
    });
    std::unique_lock lock(done_mutex);
    done_signal.wait(lock, [&] { return done; });
}

}  // namespace kestrova::platform
