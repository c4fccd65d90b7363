#include "platform/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/linux/class_data_cache_internal.h"
#include "platform/linux/environment.h"
#include "platform/linux/installation_lock_internal.h"
#include "platform/linux/transfer_workers.h"

namespace kestrova::platform {

namespace {

// Both are trivially destructible: the end may come from exit() on one thread while another still
// waits here.
std::atomic<void (*)(int)> end_action{nullptr};
std::atomic<bool> ending{false};
static_assert(std::is_trivially_destructible_v<std::atomic<bool>>);

}  // namespace

void prepare_for_threads() {
    linux_backend::capture_environment();
    linux_backend::remember_installation_directory();
}

void run_before_end_of_process(void (*action)(int)) { end_action.store(action); }

int replace_process(const char* path, char* const* arguments) {
    // What this process printed must not be lost with its buffers.
    std::fflush(nullptr);
    // Every descriptor from 3 up goes at the exec, and stays open should it fail: libraries open
    // files and sockets without close-on-exec, and the new program must start as a fresh launch.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        // Kernels before 5.11: mark them one by one, up to the descriptor limit.
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (limit > 0 ? limit : 65536); ++fd) {
            const int flags = fcntl(static_cast<int>(fd), F_GETFD);
            if (flags >= 0) fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
        }
    }
    execve(path, arguments, linux_backend::captured_envp());
    return errno;
}

void end_process(int status) {
    // Only the first end goes on. exit() is not safe on two threads at once (one tears down what the
    // other still uses, and the process crashes on its way out), and a second _exit would cut the
    // first end's action short. So a later end, from any other thread, waits here until the first
    // one has ended the process with its status.
    if (ending.exchange(true)) {
        for (;;) pause();
    }
    // Before the action, which may replace the program.
    linux_backend::start_pending_class_data_helper();
    if (auto* action = end_action.load()) action(status);
    if (!linux_backend::close_url_loading()) std::exit(status);
    std::fflush(nullptr);
    _exit(status);
}

bool standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace kestrova::platform
