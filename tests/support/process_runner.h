// Runs a program as a child process and collects what it printed, for tests that must see a real
// process: its exit status, standard output and standard error.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

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
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A fresh directory under the system's temporary directory, removed with everything in it at the end
// of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Lines of `text` that start with `key=`, value only.
std::vector<std::string> values_of(const std::string& text, const std::string& key);
// The one value of `key`, or nullopt when absent.
std::optional<std::string> value_of(const std::string& text, const std::string& key);

}  // namespace kestrova::testing
