#include "launcher/updates/installed_version.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "kestrova/kestrova.h"
#include "launcher/command_line.h"
#include "launcher/updates/first_start.h"
#include "launcher/updates/update_log.h"
#include "platform/process.h"

namespace kestrova::updates {

namespace {

// The file name this process was started as in Contents/MacOS, taken before anything can move or
// replace the file (an update does, and the system then names it "... (deleted)").
char own_launcher_name[256] = {};

// Runs before the C++ static initialisers (its priority), as the command line's does, so a launch
// that fails in one, the launch record refused before main, still knows its own name.
__attribute__((constructor(101))) void keep_own_launcher_name() {
    char path[4096];
    std::uint32_t size = sizeof path;
    if (kestrova::platform::get_executable_path(path, &size) != 0) return;
    const std::string_view whole(path);
    const std::string_view name = whole.substr(whole.rfind('/') + 1);
    if (name.size() < sizeof own_launcher_name) std::memcpy(own_launcher_name, name.data(), name.size());
}

// A bundle with more than one command starts again the one the user ran, when the version that
// takes over still has it; otherwise the one the update framework names, the bundle's main one.
std::string same_command(const std::string& launcher) {
    const std::string_view own = own_launcher_name;
    const auto slash = launcher.rfind('/');
    if (own.empty() || slash == std::string::npos) return launcher;
    std::string sibling = launcher.substr(0, slash + 1);
    sibling += own;
    struct stat info {};
    if (sibling == launcher || ::lstat(sibling.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(sibling.c_str(), X_OK) != 0)
        return launcher;
    return sibling;
}

// argv[0] names the program that runs from now on: the old launcher's name may be gone from the
// bundle, and argv[0] of the first start named the launcher that was replaced.
int replace_with(const std::string& launcher) {
    std::vector<char*> arguments;
    arguments.push_back(const_cast<char*>(launcher.c_str()));
    for (const char* argument : command_line_arguments()) arguments.push_back(const_cast<char*>(argument));
    arguments.push_back(nullptr);
    return platform::replace_process(launcher.c_str(), arguments.data());
}

}  // namespace

int start_previous_version(const std::string& bundle_launcher) {
    const std::string launcher = same_command(bundle_launcher);
    log_record("Starting the previous version: %{public}@", {launcher});
    const int error = replace_with(launcher);
    log_record("Could not start the previous version: %{public}@", {std::strerror(error)});
    return error;
}

void start_installed_version(const std::string& bundle_launcher) {
    const std::string launcher = same_command(bundle_launcher);
    // This process ran far enough to install another version: whatever version it is, its own
    // first start is over, and what it kept must not be taken for a start that died.
    confirm_first_start();
    log_record("Starting the installed version: %{public}@", {launcher});
    const int error = replace_with(launcher);
    log_record("Could not start the installed version: %{public}@", {std::strerror(error)});
    // A launch failure like any other: the previous version, kept beside the new one, goes back
    // and starts instead.
    kestrova::bail(
        "The application's update is installed, but its new version could not be started (%s: %s); "
        "start the application again to run it.",
        launcher.c_str(), std::strerror(error));
}

}  // namespace kestrova::updates
