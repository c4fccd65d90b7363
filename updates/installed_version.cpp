#include "updates/installed_version.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/process.h"
#include "updates/update_log.h"

namespace kestrova::updates {

namespace {

// Written by main before any other thread exists, then only read.
int kept_argc = 0;
char** kept_argv = nullptr;

}  // namespace

void keep_command_line(int argc, char** argv) {
    kept_argc = argc;
    kept_argv = argv;
}

void start_installed_version(const std::string& launcher) {
    log_record("Starting the installed version: %{public}@", {launcher});
    // argv[0] names the program that runs from now on: the old launcher's name may be gone from
    // the bundle, and argv[0] of the first start named the launcher that was replaced.
    std::vector<char*> arguments;
    arguments.push_back(const_cast<char*>(launcher.c_str()));
    for (int i = 1; i < kept_argc && kept_argv != nullptr; ++i) arguments.push_back(kept_argv[i]);
    arguments.push_back(nullptr);
    const int error = platform::replace_process(launcher.c_str(), arguments.data());
    log_record("Could not start the installed version: %{public}@", {std::strerror(error)});
    std::fprintf(stderr,
                 "The application's update is installed, but its new version could not be started (%s: %s); "
                 "start the application again to run it.\n",
                 launcher.c_str(), std::strerror(error));
    platform::end_process(1);
}

}  // namespace kestrova::updates
