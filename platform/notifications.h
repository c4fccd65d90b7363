// Notification centre: observers by name, delivered synchronously on the posting thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kestrova::platform {

inline constexpr std::string_view application_did_finish_launching = "NSApplicationDidFinishLaunchingNotification";

struct Notification {
    std::string name;
    const void* object = nullptr;
};

class NotificationCenter {
public:
    static NotificationCenter& default_center();

    // Registers `block` for notifications called `name` from any sender. The returned token is the
    // observer; it can be passed to remove_observer or dropped.
    const void* add_observer(std::string_view name, std::function<void(const Notification&)> block);
    // Registers `block` under an observer the caller names, such as a delegate object.
    void add_observer(const void* observer, std::string_view name, std::function<void(const Notification&)> block);
    // Removes every registration of `observer`; null is a no-op.
    void remove_observer(const void* observer);
    // Calls every matching observer on this thread, in registration order, before returning.
    void post(std::string_view name, const void* object = nullptr);

    struct Impl;
    NotificationCenter();

private:
    Impl* impl_;  // never freed, see never_destroyed.h
};

}  // namespace kestrova::platform
