#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "platform/application.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"

namespace kestrova::platform {
namespace {

using std::chrono::nanoseconds;

TEST(SaturatingDuration, NeverOverflows) {
    EXPECT_EQ(saturating_duration(1e20), nanoseconds::max());
    EXPECT_EQ(saturating_duration(std::numeric_limits<double>::infinity()), nanoseconds::max());
    EXPECT_EQ(saturating_duration(9.3e9), nanoseconds::max());
    EXPECT_EQ(saturating_duration(-1), nanoseconds::zero());
    EXPECT_EQ(saturating_duration(std::nan("")), nanoseconds::zero());
    EXPECT_EQ(saturating_duration(1.5), nanoseconds(1500000000));
    EXPECT_EQ(saturating_duration(86400.0 * 365), std::chrono::seconds(86400 * 365));
}

// These tests run on the test program's main thread, which owns the main run loop.
class MainRunLoop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(is_main_thread()); }
    RunLoop& loop = RunLoop::main();
};

TEST_F(MainRunLoop, EmptyModeFinishesAtOnce) {
    EXPECT_EQ(loop.run_in_default_mode(1e20, false), RunLoopResult::finished);
}

TEST_F(MainRunLoop, FarTimerKeepsTheLoopUntilStoppedFromAnotherThread) {
    auto never = Timer::create(1e20, 0, [](Timer*) { ADD_FAILURE() << "fired"; });
    loop.add_timer(never);
    std::thread stopper([this] {
        // Returns once the main thread serves its queue, that is, once it is inside the run.
        dispatch_async_and_wait_main([] {});
        loop.stop();
    });
    EXPECT_EQ(loop.run_in_default_mode(1e20, false), RunLoopResult::stopped);
    stopper.join();
    never->invalidate();
    EXPECT_EQ(loop.run_in_default_mode(1e20, false), RunLoopResult::finished);
}

TEST_F(MainRunLoop, TimeOutIsReported) {
    auto never = Timer::create(1e20, 0, [](Timer*) {});
    loop.add_timer(never);
    EXPECT_EQ(loop.run_in_default_mode(0.02, false), RunLoopResult::timed_out);
    never->invalidate();
}

TEST_F(MainRunLoop, OneShotTimerFiresOnceAndLeavesTheMode) {
    int fired = 0;
    loop.add_timer(Timer::create(absolute_time_now() + 0.01, 0, [&](Timer*) { ++fired; }));
    EXPECT_EQ(loop.run_in_default_mode(5, false), RunLoopResult::finished);
    EXPECT_EQ(fired, 1);
}

TEST_F(MainRunLoop, RepeatingTimerFiresUntilInvalidated) {
    int fired = 0;
    loop.add_timer(Timer::create(absolute_time_now(), 0.005, [&](Timer* t) {
        if (++fired == 3) t->invalidate();
    }));
    EXPECT_EQ(loop.run_in_default_mode(5, false), RunLoopResult::finished);
    EXPECT_EQ(fired, 3);
}

TEST_F(MainRunLoop, BlocksFromOtherThreadsRunInOrderWhileParked) {
    auto never = Timer::create(1e20, 0, [](Timer*) {});
    loop.add_timer(never);
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) dispatch_async_main([&order, i] { order.push_back(i); });
        dispatch_async_main([this] { loop.stop(); });
    });
    EXPECT_EQ(loop.run_in_default_mode(1e20, false), RunLoopResult::stopped);
    poster.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    never->invalidate();
}

TEST_F(MainRunLoop, AsyncAndWaitReturnsOnlyAfterTheBlockRan) {
    auto never = Timer::create(1e20, 0, [](Timer*) {});
    loop.add_timer(never);
    std::atomic<bool> ran{false};
    std::atomic<bool> saw_ran_on_return{false};
    std::mutex mutex;
    std::condition_variable returned_signal;
    bool returned = false;
    std::thread caller([&] {
        dispatch_async_and_wait_main([&] {
            // A call that returned early would say so here; a correct one never does, and the
            // block gives up waiting for it.
            std::unique_lock lock(mutex);
            EXPECT_FALSE(returned_signal.wait_for(lock, std::chrono::milliseconds(100), [&] { return returned; }));
            EXPECT_TRUE(is_main_thread());
            ran = true;
        });
        saw_ran_on_return = ran.load();
        {
            std::lock_guard lock(mutex);
            returned = true;
        }
        returned_signal.notify_all();
        loop.stop();
    });
    EXPECT_EQ(loop.run_in_default_mode(10, false), RunLoopResult::stopped);
    caller.join();
    EXPECT_TRUE(saw_ran_on_return);
    never->invalidate();
}

TEST_F(MainRunLoop, AsyncAndWaitOnTheMainThreadRunsDirectly) {
    bool ran = false;
    dispatch_async_and_wait_main([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST_F(MainRunLoop, ReturnAfterHandledSource) {
    auto never = Timer::create(1e20, 0, [](Timer*) {});
    loop.add_timer(never);
    dispatch_async_main([] {});
    EXPECT_EQ(loop.run_in_default_mode(10, true), RunLoopResult::handled_source);
    never->invalidate();
}

TEST_F(MainRunLoop, ApplicationRunFinishesLaunchingOnceAndStops) {
    auto& app = Application::shared();
    int launched = 0;
    const void* token =
        NotificationCenter::default_center().add_observer(application_did_finish_launching, [&](const Notification&) {
            ++launched;
            // Anything posted before the stop is still served by this run.
            dispatch_async_main([&app] { app.stop(); });
        });
    app.run();
    EXPECT_EQ(launched, 1);
    EXPECT_FALSE(app.is_running());
    app.stop();  // not running: no effect on the next run's loop
    dispatch_async_main([&app] { app.stop(); });
    app.run();
    EXPECT_EQ(launched, 1);
    NotificationCenter::default_center().remove_observer(token);
}

}  // namespace
}  // namespace kestrova::platform
