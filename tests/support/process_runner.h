// Runs a program as a child process and collects what it printed, for tests that must see a real
// process: its exit status, standard output and standard error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "tests/support/temp_dir.h"

namespace kestrova::testing {

struct ProcessResult {
    int exit_status = -1;  // exit code, or 128 + signal number when killed by a signal
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Variables set (value) or removed (nullopt) on top of the test's own environment.
    std::map<std::string, std::optional<std::string>> env;
    std::chrono::milliseconds timeout{60000};
    std::optional<std::filesystem::path> cwd;
    // For a BackgroundProcess: the child's standard error goes to this descriptor of the test (a
    // pipe, a terminal) instead of a memory file, and err() stays empty.
    std::optional<int> stderr_fd;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child process left running while the test acts on it. Its standard output and error go to
// memory files, so it never blocks on a full pipe and both can be read at any time. The destructor
// kills the child's process group: the child, if still running, and what it left behind.
class BackgroundProcess {
public:
    // `pass_fds`: descriptors of the test the child keeps open, under the same numbers.
    explicit BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                               const std::vector<int>& pass_fds = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once the child has exited.
    bool running();
    // Waits up to `timeout` for the child to exit, leaving it running if it does not; true when it
    // exited. For "still running a while later": it returns as soon as the child exits.
    bool exits_within(std::chrono::milliseconds timeout);
    // What the child has printed so far.
    std::string out() const;
    std::string err() const;
    // Waits for the child to exit; past `timeout` it is killed and the result says timed_out.
    ProcessResult wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    FileDescriptor out_fd_;
    FileDescriptor err_fd_;
    std::optional<int> exit_status_;
};

// Everything in the file behind `fd` (a memory file a child wrote), from its start, whatever the
// descriptor's own offset.
std::string read_whole(int fd);

// Lines of `text` that start with `key=`, value only.
std::vector<std::string> values_of(const std::string& text, const std::string& key);
// The one value of `key`, or nullopt when absent.
std::optional<std::string> value_of(const std::string& text, const std::string& key);

}  // namespace kestrova::testing
