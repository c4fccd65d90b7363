#include "platform/notifications.h"

#include <memory>
#include <mutex>
#include <vector>

#include "platform/never_destroyed.h"

namespace kestrova::platform {

struct NotificationCenter::Impl {
    struct Registration {
        const void* observer;
        std::string name;
        std::shared_ptr<std::function<void(const Notification&)>> block;
    };
    std::mutex mutex;
    std::vector<Registration> registrations;
    // Token observers: each block registration gets an address of its own to be known by.
    std::vector<std::unique_ptr<char>> tokens;
};

NotificationCenter::NotificationCenter() : impl_(new Impl) {}

NotificationCenter& NotificationCenter::default_center() {
    static NeverDestroyed<NotificationCenter> center;
    return center.get();
}

const void* NotificationCenter::add_observer(std::string_view name, std::function<void(const Notification&)> block) {
    const void* token;
    {
        std::lock_guard lock(impl_->mutex);
        token = impl_->tokens.emplace_back(std::make_unique<char>()).get();
    }
    add_observer(token, name, std::move(block));
    return token;
}

void NotificationCenter::add_observer(const void* observer, std::string_view name,
                                      std::function<void(const Notification&)> block) {
    std::lock_guard lock(impl_->mutex);
    impl_->registrations.push_back(
        {observer, std::string(name), std::make_shared<std::function<void(const Notification&)>>(std::move(block))});
}

void NotificationCenter::remove_observer(const void* observer) {
    if (observer == nullptr) return;
    std::lock_guard lock(impl_->mutex);
    std::erase_if(impl_->registrations, [observer](const auto& r) { return r.observer == observer; });
}

void NotificationCenter::post(std::string_view name, const void* object) {
    // Observers run without the lock held, so they may register or remove observers themselves.
    std::vector<std::shared_ptr<std::function<void(const Notification&)>>> matching;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& r : impl_->registrations)
            if (r.name == name) matching.push_back(r.block);
    }
    const Notification notification{std::string(name), object};
    for (const auto& block : matching) (*block)(notification);
}

}  // namespace kestrova::platform
