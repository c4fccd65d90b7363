#include "platform/executable_path.h"

#include <unistd.h>

#include <cstddef>

namespace kestrova::platform {

int get_executable_path(char* buffer, std::uint32_t* size) {
    // /proc/self/exe is already resolved: a launch through a symbolic link reports the target.
    const ssize_t length = readlink("/proc/self/exe", buffer, *size);
    if (length < 0) return executable_path_unreadable;
    if (static_cast<std::size_t>(length) >= *size) return -1;  // truncated: no room for the NUL
    buffer[length] = '\0';
    return 0;
}

}  // namespace kestrova::platform
