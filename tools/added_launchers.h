// More than one command in one bundle: each added launcher is another executable in Contents/MacOS
// with a launch record of its own (its main class and console flag), sharing the bundle's runtime,
// JARs, JVM options and update settings.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/burned_in_data.h"

namespace kestrova::pack {

struct AddedLauncher {
    std::string name;  // the file name in Contents/MacOS
    std::string main_class;
    std::optional<bool> console;  // unset: as the bundle's own launcher
};

// The --add-launcher values, NAME=MAINCLASS[:console|:gui], in order. Throws PackError for a name
// that is not a file name, one given twice or taken by the bundle's own launcher (`bundle_name`),
// an empty main class or an unknown suffix.
std::vector<AddedLauncher> parse_added_launchers(std::span<const std::string> values, std::string_view bundle_name);

// The added launcher's record: the bundle's own with its main class and console flag.
LaunchRecordFields added_launcher_fields(const LaunchRecordFields& bundle, const AddedLauncher& added);

}  // namespace kestrova::pack
