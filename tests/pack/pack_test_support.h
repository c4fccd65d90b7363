// Helpers shared by the packaging tool's tests: launcher-like images built in memory, scratch
// directories, and running the built tool as a process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/burned_in_data.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace kestrova::pack::testing {

namespace fs = std::filesystem;
using kestrova::testing::TempDir;
using namespace std::string_view_literals;

// `before`, then `run` fill bytes, then `after`: the shape of a launcher image around its area.
inline std::vector<char> image_with_run(std::string_view before, std::size_t run, std::string_view after) {
    std::vector<char> image(before.begin(), before.end());
    image.insert(image.end(), run, reserved_area_fill);
    image.insert(image.end(), after.begin(), after.end());
    return image;
}

// A stand-in for the launcher template, with NULs and stray '_' around its one area.
inline std::vector<char> fake_template() {
    return image_with_run(
        "\x7f"
        "ELF\0\0_x_\0head"sv,
        reserved_area_size, "\0tail_\0\0"sv);
}

inline std::string as_string(const std::vector<char>& bytes) { return {bytes.begin(), bytes.end()}; }

inline void write_bytes(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every entry under `root`, hidden ones too, links not followed, sorted: a directory's state.
inline std::vector<std::string> tree_listing(const fs::path& root) {
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        entries.push_back(entry.path().lexically_relative(root).string());
    std::sort(entries.begin(), entries.end());
    return entries;
}

struct RunResult {
    int status = -1;  // the exit status, -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Where a run's standard output goes: a file the result reads back, a device with no room, or nowhere.
enum class Stdout { captured, full, closed };

// Runs `program` in `cwd`; its output goes to files elsewhere, so `cwd` sees only what it writes.
inline RunResult run_program(const fs::path& program, std::vector<std::string> args, const fs::path& cwd,
                             Stdout stdout_to = Stdout::captured) {
    const TempDir capture;
    const auto out = capture.path() / "out", err = capture.path() / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    write_bytes(out, "");
    if (stdout_to == Stdout::captured) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY, 0600);
    if (stdout_to == Stdout::full) posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
    if (stdout_to == Stdout::closed) posix_spawn_file_actions_addclose(&actions, 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    args.insert(args.begin(), program.string());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + program.string());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_bytes(out), read_bytes(err)};
}

}  // namespace kestrova::pack::testing
