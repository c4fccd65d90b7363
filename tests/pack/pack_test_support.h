// Helpers shared by the packaging tool's tests: launcher-like images built in memory, scratch
// directories, and running the built tool as a process.
#pragma once

#include <fcntl.h>

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
#include "tools/program_start.h"

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
    int status = -1;  // the exit status, 128 + the signal's number when a signal ended the process
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
    write_bytes(out, "");
    ProgramStart start;
    start.argv = std::move(args);
    start.argv.insert(start.argv.begin(), program.string());
    if (stdout_to == Stdout::captured) start.output = ProgramStream::file(out.string(), O_WRONLY);
    if (stdout_to == Stdout::full) start.output = ProgramStream::file("/dev/full", O_WRONLY);
    if (stdout_to == Stdout::closed) start.output = ProgramStream::closed();
    start.error = ProgramStream::file(err.string(), O_WRONLY | O_CREAT);
    start.directory = cwd;
    const int status = wait_for_program(start_program(start));
    return {shell_status(status), read_bytes(out), read_bytes(err)};
}

}  // namespace kestrova::pack::testing
