// Storage for the platform layer's process-wide objects. `exit` runs on the JVM thread while the
// main thread is parked in its run loop and other Java threads may still call in, so these objects
// must outlive every static destructor: they are built in place on first use and never destroyed.
#pragma once

#include <new>
#include <utility>

namespace kestrova::platform {

template <class T>
class NeverDestroyed {
public:
    // The storage is filled by the placement new, never read before: zeroing it first is wasted.
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {  // NOLINT(cppcoreguidelines-pro-type-member-init)
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    ~NeverDestroyed() = default;  // deliberately leaves the object alive

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace kestrova::platform
