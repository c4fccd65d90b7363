// The time of the last update check, kept per application in a small state file:
// <the user's state directory>/kestrova-updater/<CFBundleIdentifier>.last-check,
// holding the absolute time (seconds since 1 January 2001) in decimal; beside it
// <CFBundleIdentifier>.skipped-version holds the version the user chose to skip, on one line, and
// <CFBundleIdentifier>.failed-version the newest version that was installed, could not start and
// was replaced by the previous one again, in the same form, and <CFBundleIdentifier>.failed-delta the
// newest version whose delta could not be used, so that no later check or process tries it again.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/user_directories.h"

namespace kestrova::updater {

// An environment variable as it was before the JVM started; nothing when unset.
using EnvironmentLookup = platform::EnvironmentLookup;

// The state file of the application `bundle_identifier`. Nothing when the environment names no
// state directory (platform::user_state_directory) or the identifier cannot name a file (empty, ".", "..", or holding '/' or NUL).
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

// Item versions are at most 256 bytes, so nothing longer is a version the user skipped.
inline constexpr std::size_t max_skipped_version_bytes = 256;

// The skipped-version file beside the last-check file `last_check`.
std::filesystem::path skipped_version_file(const std::filesystem::path& last_check);

// The failed-version file beside the last-check file `last_check`; read and written with the two
// functions below, as its form is the skipped version's.
std::filesystem::path failed_version_file(const std::filesystem::path& last_check);

// The failed-delta file beside the last-check file `last_check`; read and written as the skipped
// version's is.
std::filesystem::path failed_delta_file(const std::filesystem::path& last_check);

// The version the user skipped; nothing when the file is missing, unreadable or does not hold one
// version on one line. What is not a regular file is never read, and `refused` says so.
std::optional<std::string> read_skipped_version(const std::filesystem::path& file, std::string* refused = nullptr);

// Replaces the file atomically, as write_last_check does, and throws LastCheckError as it does, also
// for a version that is not one line (empty, too long, or holding a line break or NUL).
void write_skipped_version(const std::filesystem::path& file, std::string_view version);

}  // namespace kestrova::updater
