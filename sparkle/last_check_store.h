// The time of the last update check, kept per application in a small state file:
// $XDG_STATE_HOME (default $HOME/.local/state)/kestrova-updater/<CFBundleIdentifier>.last-check,
// holding the absolute time (seconds since 1 January 2001) in decimal.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrova::sparkle {

// An environment variable as it was before the JVM started; nothing when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The state file of the application `bundle_identifier`. Nothing when there is no usable base
// directory (XDG_STATE_HOME unset, empty or relative, and HOME unset, empty or relative) or the
// identifier cannot name a file (empty, ".", "..", or holding '/' or NUL).
std::optional<std::filesystem::path> last_check_file(const EnvironmentLookup& environment,
                                                     std::string_view bundle_identifier);

// The absolute time as the file holds it, round-tripping exactly, and back. Parsing allows white
// space around the number and refuses anything else, and non-finite values.
std::string format_absolute_time(double absolute_time);
std::optional<double> parse_absolute_time(std::string_view text);

// The stored time; nothing when the file is missing, unreadable or does not hold one time. What is
// there but is not a regular file (a named pipe, a device) is never read, and `refused`, when given,
// says so.
std::optional<double> read_last_check(const std::filesystem::path& file, std::string* refused = nullptr);

// Why the time could not be stored, as one sentence.
class LastCheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Replaces the file atomically (a temporary file in the same directory, renamed over it), creating
// its directories. Throws LastCheckError when it cannot; the old file, if any, is then untouched
// and no temporary file is left behind.
void write_last_check(const std::filesystem::path& file, double absolute_time);

}  // namespace kestrova::sparkle
