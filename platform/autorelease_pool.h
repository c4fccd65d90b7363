// A scope for objects released at its end, where the platform's frameworks hand out such objects;
// it marks where a platform needs one. Main thread.
#pragma once

namespace kestrova::platform {

class AutoreleasePool {
public:
    AutoreleasePool();  // push
    // Out of line: a port whose frameworks keep pools pops it here, though Linux keeps none.
    ~AutoreleasePool();  // NOLINT(performance-trivially-destructible)
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;
};

}  // namespace kestrova::platform
