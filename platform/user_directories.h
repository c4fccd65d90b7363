// Where the user's own files of an application go, as this system arranges them.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform {

// A variable of the environment the directory is chosen from; nothing when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The directory for state that applications keep between runs (not documents, not caches), as the
// variables `environment` gives choose it; it need not exist yet. Nothing when they name none.
std::optional<std::filesystem::path> user_state_directory(const EnvironmentLookup& environment);

// The variables user_state_directory reads, for a message that says none named a directory, such as
// "HOME".
const char* user_state_directory_variables();

}  // namespace kestrova::platform
