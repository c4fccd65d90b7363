#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tools/program_start.h"

extern char** environ;

namespace kestrova::testing {

namespace {

std::vector<std::string> merged_environment(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

// Starts `argv` in a process group of its own (so a time-out can end it and whatever it started),
// standard input from /dev/null, standard output and error to `out_fd` and `err_fd`.
pid_t spawn_child(const std::vector<std::string>& argv, const ProcessOptions& options, int out_fd, int err_fd,
                  const std::vector<int>& pass_fds = {}) {
    pack::ProgramStart start;
    start.argv = argv;
    start.input = pack::ProgramStream::null_input();
    start.output = pack::ProgramStream::from(out_fd);
    start.error = pack::ProgramStream::from(err_fd);
    start.pass_fds = pass_fds;
    start.directory = options.cwd;
    start.own_process_group = true;
    start.environment = merged_environment(options.env);
    try {
        return pack::start_program(start);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + e.code().message());
    }
}

int exit_status_of(int status) { return pack::shell_status(status); }

}  // namespace

std::string read_whole(int fd) {
    std::string text;
    char buffer[8192];
    for (off_t offset = 0;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    FileDescriptor out_read(ends[0]), out_write(ends[1]);
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    FileDescriptor err_read(ends[0]), err_write(ends[1]);
    const pid_t pid = spawn_child(argv, options, out_write.get(), err_write.get());
    // The child has its own copies; while the parent holds the write ends, no read sees the end.
    out_write.close();
    err_write.close();

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    FileDescriptor* reads[2] = {&out_read, &err_read};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[8192];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                reads[i]->close();
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    out_read.close();
    err_read.close();

    int status = 0;
    // The pipes close when the child exits unless a grandchild keeps them; wait for the child itself
    // within what is left of the time-out.
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    result.exit_status = exit_status_of(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                                     const std::vector<int>& pass_fds) {
    out_fd_ = FileDescriptor(memfd_create("stdout", MFD_CLOEXEC));
    err_fd_ = FileDescriptor(memfd_create("stderr", MFD_CLOEXEC));
    if (!out_fd_.valid() || !err_fd_.valid()) throw std::runtime_error("memfd_create failed");
    pid_ = spawn_child(argv, options, out_fd_.get(), options.stderr_fd.value_or(err_fd_.get()), pass_fds);
}

BackgroundProcess::~BackgroundProcess() {
    // Whatever the child started and left behind goes too.
    kill(-pid_, SIGKILL);
    if (running()) waitpid(pid_, nullptr, 0);
}

bool BackgroundProcess::running() {
    if (exit_status_) return false;
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid_, &status, WNOHANG)) == -1 && errno == EINTR) {
    }
    if (done == 0) return true;
    exit_status_ = done == pid_ ? exit_status_of(status) : -1;
    return false;
}

bool BackgroundProcess::exits_within(std::chrono::milliseconds timeout) {
    if (!running()) return true;
    // A pidfd becomes readable when the child exits, without reaping it.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0) throw std::runtime_error(std::string("pidfd_open: ") + std::strerror(errno));
    pollfd ready{pidfd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        const int n = ::poll(&ready, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (n >= 0 || errno != EINTR) break;
    }
    ::close(pidfd);
    return !running();
}

std::string BackgroundProcess::out() const { return read_whole(out_fd_.get()); }
std::string BackgroundProcess::err() const { return read_whole(err_fd_.get()); }

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            kill(-pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            exit_status_ = exit_status_of(status);
            break;
        }
        usleep(5000);
    }
    result.exit_status = *exit_status_;
    result.out = out();
    result.err = err();
    return result;
}

std::vector<std::string> values_of(const std::string& text, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream lines(text);
    const std::string prefix = key + "=";
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0) values.push_back(line.substr(prefix.size()));
    return values;
}

std::optional<std::string> value_of(const std::string& text, const std::string& key) {
    auto values = values_of(text, key);
    if (values.empty()) return std::nullopt;
    return values.front();
}

}  // namespace kestrova::testing
