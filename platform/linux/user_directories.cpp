#include "platform/user_directories.h"

namespace kestrova::platform {

namespace {

std::optional<std::filesystem::path> absolute_directory(const std::optional<std::string>& value) {
    // The XDG base directory rules say relative paths are invalid and must be ignored.
    if (!value || value->empty() || value->front() != '/') return std::nullopt;
    return std::filesystem::path(*value);
}

}  // namespace

// $XDG_STATE_HOME, or $HOME/.local/state when that is unset, empty or relative.
std::optional<std::filesystem::path> user_state_directory(const EnvironmentLookup& environment) {
    if (auto base = absolute_directory(environment("XDG_STATE_HOME"))) return base;
    const auto home = absolute_directory(environment("HOME"));
    if (!home) return std::nullopt;
    return *home / ".local" / "state";
}

const char* user_state_directory_variables() { return "XDG_STATE_HOME, HOME"; }

}  // namespace kestrova::platform
