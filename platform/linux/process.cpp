#include "platform/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/linux/environment.h"
#include "platform/linux/installation_lock_internal.h"
#include "platform/linux/transfer_workers.h"

namespace kestrova::platform {

namespace {

// The actions of each stage, in the order they were added. Trivially destructible, as `ending` is:
// the end may come from exit() on one thread while another still waits here.
constexpr std::size_t stage_count = 2;
struct EndActions {
    std::atomic<void (*)(int)> actions[end_of_process_actions_per_stage];
    std::atomic<std::size_t> count;
};
EndActions end_actions[stage_count];
std::atomic<bool> ending{false};
static_assert(std::is_trivially_destructible_v<std::atomic<bool>> && std::is_trivially_destructible_v<EndActions>);

void run_end_actions(int status) {
    for (auto& stage : end_actions) {
        const std::size_t count = std::min(stage.count.load(), end_of_process_actions_per_stage);
        // A slot taken by another thread that has not yet stored its action is left out.
        for (std::size_t i = 0; i < count; ++i)
            if (auto* action = stage.actions[i].load()) action(status);
    }
}

}  // namespace

void prepare_for_threads() {
    linux_backend::capture_environment();
    linux_backend::remember_installation_directory();
}

void run_before_end_of_process(void (*action)(int), EndOfProcessStage stage) {
    auto& actions = end_actions[static_cast<std::size_t>(stage)];
    const std::size_t slot = actions.count.fetch_add(1);
    if (slot < end_of_process_actions_per_stage) actions.actions[slot].store(action);
}

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
    run_end_actions(status);
    if (!linux_backend::close_url_loading()) std::exit(status);
    std::fflush(nullptr);
    _exit(status);
}

bool standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace kestrova::platform
