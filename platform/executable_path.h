// The running executable's own path, which the launcher finds its bundle by and the packaging tool
// its launcher template and support files.
#pragma once

#include <cstdint>

namespace kestrova::platform {

// Copies the executable's NUL-terminated path into `buffer`, whose size `*size` gives. Returns 0;
// -1 when the path does not fit, with `*size` then set to the size needed when it is known; or
// executable_path_unreadable when the system cannot tell the path at all, with errno saying why.
inline constexpr int executable_path_unreadable = -2;
int get_executable_path(char* buffer, std::uint32_t* size);

}  // namespace kestrova::platform
