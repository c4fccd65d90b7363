// A scope for objects released at its end. Linux has no reference-counted framework objects for it
// to collect, so it is empty there; it marks where a platform with such objects needs one.
#pragma once

namespace kestrova::platform {

class AutoreleasePool {
public:
    AutoreleasePool() {}   // push: nothing to collect on this platform
    ~AutoreleasePool() {}  // pop
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;
};

}  // namespace kestrova::platform
