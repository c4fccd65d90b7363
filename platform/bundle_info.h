// Bundles' information dictionaries: the main bundle's (Contents/Info.plist of the bundle holding the
// executable), and any other bundle's read from its file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform {

// The value of `key` as a string: strings as they are, integers and reals in decimal, booleans as
// "YES"/"NO". Absent when the key, the file, or a readable dictionary is missing.
std::optional<std::string> info_dictionary_string(std::string_view key);

// The top-level entries of the property list at `path` (XML or binary) that have a string form:
// strings, integers, reals and booleans, converted as info_dictionary_string describes. Nothing
// when the file is missing or unreadable, is not a property list with a dictionary at its root, or
// the reader's library cannot be loaded.
using InfoEntries = std::map<std::string, std::string, std::less<>>;
std::optional<InfoEntries> read_property_list(const std::string& path);

// read_property_list's entries, empty when there are none to read.
InfoEntries read_info_dictionary(const std::string& path);

// Whether the dictionary may hold `key`: false only when it certainly does not, told without reading
// the dictionary's values (the key's name does not occur in the file), so that a launch that looks
// for a key most bundles lack does not pay for the property list reader.
bool info_dictionary_may_hold(std::string_view key);

// The bundle's Contents directory (the executable's directory's parent), absolute.
std::string bundle_contents_directory();

}  // namespace kestrova::platform
