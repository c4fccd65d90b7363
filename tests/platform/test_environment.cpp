#include "test_environment.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace kestrova::testing {

const std::string& update_log_path() {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("kestrova-platform-tests-" + std::to_string(getpid()) + ".log"))
                                        .string();
    return path;
}

namespace {

// Runs before main, so before the platform layer copies the environment; removes the log at exit.
struct SetUpEnvironment {
    SetUpEnvironment() {
        setenv("KESTROVA_UPDATE_LOG", update_log_path().c_str(), 1);
        setenv(captured_probe_name, captured_probe_value, 1);
    }
    ~SetUpEnvironment() { unlink(update_log_path().c_str()); }
} set_up_environment;

}  // namespace

}  // namespace kestrova::testing
