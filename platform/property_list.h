// Reading a bundle's property list (its Info.plist) from a file. Keeps no state of the process, so
// the packaging tool reads the bundles it is given with the reader the launcher uses.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace kestrova::platform {

// The top-level entries of the property list at `path` (XML or binary) that have a string form:
// strings as they are, integers and reals in decimal, booleans as "YES"/"NO". Nothing when the
// file is missing or unreadable, is not a property list with a dictionary at its root, or the
// reader's library cannot be loaded.
using InfoEntries = std::map<std::string, std::string, std::less<>>;
std::optional<InfoEntries> read_property_list(const std::string& path);

// read_property_list's entries, empty when there are none to read.
InfoEntries read_info_dictionary(const std::string& path);

}  // namespace kestrova::platform
