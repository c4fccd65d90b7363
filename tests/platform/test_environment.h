// What the platform tests put into the environment before anything takes its copy.
#pragma once

#include <string>

namespace kestrova::testing {

// The file KESTROVA_UPDATE_LOG names for this test process.
const std::string& update_log_path();

// A variable set before the copy is taken, with its value.
inline constexpr const char* captured_probe_name = "KESTROVA_PLATFORM_TEST_PROBE";
inline constexpr const char* captured_probe_value = "taken before the copy";

}  // namespace kestrova::testing
