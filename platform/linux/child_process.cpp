#include "platform/linux/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "platform/linux/environment.h"

namespace kestrova::platform::linux_backend {

namespace {

ChildEnd end_of(int status) {
    ChildEnd end;
    if (WIFEXITED(status)) {
        end.exited = true;
        end.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    return end;
}

// Every signal a program can have a disposition for. SIGKILL and SIGSTOP have none to reset.
sigset_t resettable_signals() {
    sigset_t set;
    sigfillset(&set);
    sigdelset(&set, SIGKILL);
    sigdelset(&set, SIGSTOP);
    return set;
}

int spawn_child(const std::vector<char*>& args, const ChildSetup& setup, char* const* envp, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    const ChildStream* streams[] = {&setup.input, &setup.output, &setup.error};
    for (int target = 0; target <= 2; ++target) {
        const ChildStream& stream = *streams[target];
        if (stream.kind == ChildStream::Kind::null)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
        if (stream.kind == ChildStream::Kind::descriptor) posix_spawn_file_actions_adddup2(&actions, stream.fd, target);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigemptyset(&none);
    const sigset_t defaults = resettable_signals();
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (setup.new_session) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);
    const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// In the child between fork and exec (or the work): only async-signal-safe calls.
// A program to be executed starts fresh; work goes on with this program's descriptors and signals.
void set_up_forked_child(const ChildSetup& setup, pid_t parent, bool fresh) {
    if (setup.dies_with_parent && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) _exit(127);
    if (setup.new_session && setsid() < 0) _exit(127);
    if (fresh) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
    }
    const ChildStream* streams[] = {&setup.input, &setup.output, &setup.error};
    for (int target = 0; target <= 2; ++target) {
        const ChildStream& stream = *streams[target];
        int fd = stream.fd;
        if (stream.kind == ChildStream::Kind::null) fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (stream.kind != ChildStream::Kind::inherit && (fd < 0 || dup2(fd, target) < 0)) _exit(127);
    }
    if (fresh && close_range(3, ~0U, 0) != 0) {
        // Kernels before 5.9: close them one by one, up to the descriptor limit.
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (limit > 0 ? limit : 65536); ++fd) close(static_cast<int>(fd));
    }
}

template <typename InChild>
int fork_child(const ChildSetup& setup, bool fresh, Child& child, InChild in_child) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return errno;
    if (pid == 0) {
        set_up_forked_child(setup, parent, fresh);
        in_child();
    }
    child = Child(pid);
    return 0;
}

}  // namespace

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), reaped_(other.reaped_), end_(other.end_) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (started() && !reaped_) kill();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        end_ = other.end_;
    }
    return *this;
}

Child::~Child() {
    if (started() && !reaped_) kill();
}

ChildEnd Child::wait_for_end() const {
    if (!started()) return {};
    if (reaped_) return end_;
    siginfo_t info{};
    int waited;
    do {
        waited = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    } while (waited == -1 && errno == EINTR);
    ChildEnd end;
    if (waited != 0) return end;
    if (info.si_code == CLD_EXITED) {
        end.exited = true;
        end.exit_status = info.si_status;
    } else {
        end.signal = info.si_status;
    }
    return end;
}

ChildEnd Child::reap() {
    if (!started() || reaped_) return end_;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid_, &status, 0);
    } while (waited == -1 && errno == EINTR);
    reaped_ = true;
    end_ = waited == pid_ ? end_of(status) : ChildEnd{};
    return end_;
}

bool Child::running() const {
    if (!started() || reaped_) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void Child::signal(int signal) const {
    // Unreaped, the pid is still our child's, running or a zombie: signalling it is safe.
    if (started() && !reaped_) ::kill(pid_, signal);
}

ChildEnd Child::kill() {
    signal(SIGKILL);
    return reap();
}

int start_child(const std::vector<std::string>& argv, const ChildSetup& setup, Child& child) {
    if (argv.empty()) return EINVAL;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    char* const* envp = setup.envp != nullptr ? setup.envp : captured_envp();
    if (!setup.dies_with_parent) {
        pid_t pid = -1;
        const int error = spawn_child(args, setup, envp, pid);
        if (error == 0) child = Child(pid);
        return error;
    }
    return fork_child(setup, true, child, [&] {
        execve(args[0], args.data(), envp);
        _exit(127);
    });
}

int start_child_work(int (*work)(void*), void* argument, const ChildSetup& setup, Child& child) {
    return fork_child(setup, false, child, [&] { _exit(work(argument)); });
}

}  // namespace kestrova::platform::linux_backend
