#include "platform/notifications.h"

#include <gtest/gtest.h>

#include <thread>

namespace kestrova::platform {
namespace {

TEST(Notifications, DeliveredSynchronouslyOnThePostingThreadByName) {
    NotificationCenter& center = NotificationCenter::default_center();
    std::vector<std::string> seen;
    std::thread::id delivered_on;
    const void* a = center.add_observer("kestrova.test.a", [&](const Notification& n) {
        seen.push_back("a:" + n.name);
        delivered_on = std::this_thread::get_id();
    });
    const void* b = center.add_observer("kestrova.test.b", [&](const Notification&) { seen.push_back("b"); });
    std::thread([&] { center.post("kestrova.test.a"); }).join();
    EXPECT_EQ(seen, std::vector<std::string>{"a:kestrova.test.a"});
    EXPECT_NE(delivered_on, std::this_thread::get_id());
    center.remove_observer(a);
    center.remove_observer(b);
}

TEST(Notifications, RemovingAnObserverRemovesAllItsRegistrations) {
    NotificationCenter& center = NotificationCenter::default_center();
    int delegate_object = 0;
    int calls = 0;
    center.add_observer(&delegate_object, "kestrova.test.c", [&](const Notification&) { ++calls; });
    center.add_observer(&delegate_object, "kestrova.test.d", [&](const Notification&) { ++calls; });
    const void* other = center.add_observer("kestrova.test.c", [&](const Notification&) { calls += 10; });
    center.remove_observer(nullptr);
    center.remove_observer(&delegate_object);
    center.post("kestrova.test.c");
    center.post("kestrova.test.d");
    EXPECT_EQ(calls, 10);
    center.remove_observer(other);
}

TEST(Notifications, ObserverMayRegisterAnotherWhileBeingDelivered) {
    NotificationCenter& center = NotificationCenter::default_center();
    int inner_calls = 0;
    const void* inner = nullptr;
    const void* outer = center.add_observer("kestrova.test.e", [&](const Notification&) {
        if (inner == nullptr)
            inner = center.add_observer("kestrova.test.e", [&](const Notification&) { ++inner_calls; });
    });
    center.post("kestrova.test.e");
    EXPECT_EQ(inner_calls, 0);  // registered during delivery: not part of this post
    center.post("kestrova.test.e");
    EXPECT_EQ(inner_calls, 1);
    center.remove_observer(outer);
    center.remove_observer(inner);
}

}  // namespace
}  // namespace kestrova::platform
