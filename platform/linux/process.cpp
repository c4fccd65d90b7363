#include "platform/process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/environment.h"
#include "platform/linux/url_loading_internal.h"

namespace kestrova::platform {

int get_executable_path(char* buffer, std::uint32_t* size) {
    // /proc/self/exe is already resolved: a launch through a symbolic link reports the target.
    const ssize_t length = readlink("/proc/self/exe", buffer, *size);
    if (length < 0) return executable_path_unreadable;
    if (static_cast<std::size_t>(length) >= *size) return -1;  // truncated: no room for the NUL
    buffer[length] = '\0';
    return 0;
}

void prepare_for_threads() { linux_backend::capture_environment(); }

void end_process(int status) {
    if (!linux_backend::close_url_loading()) std::exit(status);
    std::fflush(nullptr);
    _exit(status);
}

bool standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace kestrova::platform
