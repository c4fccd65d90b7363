#include "launcher/updates/installed_version.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/process.h"
#include "launcher/updates/first_start.h"
#include "launcher/updates/update_log.h"

namespace kestrova::updates {

namespace {

// The command line, for starting another version with the same arguments. Written once before
// any thread exists, then only read.
int kept_argc = 0;
char** kept_argv = nullptr;

// glibc hands the executable's initialisers argc, argv and envp. This one runs before the C++
// static initialisers (its priority), so a launch that fails in one, the launch record refused
// before main, still has the arguments to start the previous version with.
__attribute__((constructor(101))) void keep_command_line(int argc, char** argv, char**) {
    kept_argc = argc;
    kept_argv = argv;
}

// argv[0] names the program that runs from now on: the old launcher's name may be gone from the
// bundle, and argv[0] of the first start named the launcher that was replaced.
int replace_with(const std::string& launcher) {
    std::vector<char*> arguments;
    arguments.push_back(const_cast<char*>(launcher.c_str()));
    for (int i = 1; i < kept_argc && kept_argv != nullptr; ++i) arguments.push_back(kept_argv[i]);
    arguments.push_back(nullptr);
    return platform::replace_process(launcher.c_str(), arguments.data());
}

}  // namespace

int start_previous_version(const std::string& launcher) {
    log_record("Starting the previous version: %{public}@", {launcher});
    const int error = replace_with(launcher);
    log_record("Could not start the previous version: %{public}@", {std::strerror(error)});
    return error;
}

void start_installed_version(const std::string& launcher) {
    // This process ran far enough to install another version: whatever version it is, its own
    // first start is over, and what it kept must not be taken for a start that died.
    confirm_first_start();
    log_record("Starting the installed version: %{public}@", {launcher});
    const int error = replace_with(launcher);
    log_record("Could not start the installed version: %{public}@", {std::strerror(error)});
    // The previous version, kept beside it, goes back and starts instead; only console
    // applications, which never install updates, show no alert.
    roll_back_first_start(false);
    std::fprintf(stderr,
                 "The application's update is installed, but its new version could not be started (%s: %s); "
                 "start the application again to run it.\n",
                 launcher.c_str(), std::strerror(error));
    platform::end_process(1);
}

}  // namespace kestrova::updates
