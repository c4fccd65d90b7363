// Starting a program with posix_spawn, for the packaging tool and the tests that run programs:
// where each standard descriptor goes, its working directory, its environment and process group.
// A library of its own that needs nothing else, so that linking it builds nothing more.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::pack {

// Where one of the child's descriptors 0, 1 and 2 goes.
struct ProgramStream {
    enum class Kind { inherit, descriptor, file, closed };
    Kind kind = Kind::inherit;
    int fd = -1;       // with `descriptor`: ours, duplicated onto the child's
    std::string path;  // with `file`: opened in the child with `flags`
    int flags = 0;

    static ProgramStream inherited() { return {}; }
    static ProgramStream from(int fd) { return {Kind::descriptor, fd, {}, 0}; }
    static ProgramStream file(std::string path, int flags) { return {Kind::file, -1, std::move(path), flags}; }
    static ProgramStream null_input();
    static ProgramStream closed() { return {Kind::closed, -1, {}, 0}; }
};

struct ProgramStart {
    std::vector<std::string> argv;  // argv[0] a path, or with `search_path` a name looked up in PATH
    bool search_path = false;
    ProgramStream input, output, error;
    std::optional<std::filesystem::path> directory;
    // Descriptors of ours the child keeps open under the same numbers.
    std::vector<int> pass_fds;
    // A process group of its own, so that a signal to the group ends it and what it started.
    bool own_process_group = false;
    // "NAME=value" entries; nothing: ours.
    std::optional<std::vector<std::string>> environment;
};

// Starts the program and returns its pid; throws std::system_error when it cannot be started.
pid_t start_program(const ProgramStart& start);

// Waits for `pid` to end and reaps it: the wait status. Throws std::system_error when it cannot.
int wait_for_program(pid_t pid);

// A wait status as a shell gives it: the exit code, or 128 + the signal that ended it; -1 otherwise.
int shell_status(int wait_status);

}  // namespace kestrova::pack
