// What the user keeps for an application outside its bundle: the home directory, and the file of
// JVM options a bundle may let its user add.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform {

// The user's home directory, absolute; empty when it cannot be found.
std::string user_home_directory();

// The file of JVM options the user keeps for the bundle identified by `bundle_identifier`; empty
// when there is no place for it (no home directory).
std::string user_jvm_options_file(std::string_view bundle_identifier);

// A user's settings file read whole: nothing when it does not exist, otherwise its text, or the
// errno of the read that failed (EFBIG for a file larger than any settings file needs to be).
// Only a regular file (through links) is read: a directory, a device or a named pipe in its place
// is `not_regular`, and is never read from or waited on.
struct UserFile {
    bool exists = false;
    bool not_regular = false;
    std::string text;
    int error = 0;
};
UserFile read_user_file(const std::string& path);

}  // namespace kestrova::platform
