// What the code needs to know of a bundle, read one way wherever it is needed: the launcher that
// starts it, the name the user knows it by, its identifier and version. So the rollback sentence,
// the update dialog and the launch failure's alert name the application alike, and no caller
// follows a link out of the bundle to find its launcher.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "kestrova/update_settings.h"

namespace kestrova {

struct BundleFacts {
    std::string identifier;  // CFBundleIdentifier as it stands; empty when absent
    std::string version;     // CFBundleVersion as it stands; empty when absent
    // application_name_in: nothing when Info.plist names the application nowhere, where each
    // reader says what it can instead (the bundle's folder, the executable, "This application").
    std::optional<std::string> name;
    // bundle/Contents/MacOS/CFBundleExecutable, when CFBundleExecutable is a plain file name and
    // that entry is a regular file its owner may execute, reached from the bundle through no link
    // (a Contents or MacOS that links out of it, to /usr/bin say, would make a program there the
    // launcher); nothing otherwise.
    std::optional<std::filesystem::path> launcher;
};

// The facts of the bundle at `bundle`, whose Info.plist `info` reads.
BundleFacts read_bundle_facts(const std::filesystem::path& bundle, const InfoLookup& info);

// The application's name as Info.plist gives it: CFBundleDisplayName, else CFBundleName, each
// trimmed of white space and counted as absent when blank.
std::optional<std::string> application_name_in(const InfoLookup& info);

}  // namespace kestrova
