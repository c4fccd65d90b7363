// Looking up the functions of a library the Linux backend loads with dlopen on first use.
#pragma once

#include <dlfcn.h>

namespace kestrova::platform::linux_backend {

// Sets `out` to the function `name` of `handle` (or of a library it depends on); false when there
// is none.
template <class F>
bool resolve(void* handle, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    return out != nullptr;
}

}  // namespace kestrova::platform::linux_backend
