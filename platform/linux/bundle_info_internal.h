// The information dictionary's reader below the main bundle's cache, for tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform::linux_backend {

using InfoEntries = std::map<std::string, std::string, std::less<>>;

// The top-level entries of the property list at `path` (XML or binary) that have a string form:
// strings, integers, reals and booleans, converted as info_dictionary_string describes. Nothing
// when the file is missing or unreadable, is not a property list with a dictionary at its root, or
// libplist cannot be loaded.
std::optional<InfoEntries> read_property_list(const std::string& path);

// read_property_list's entries, empty when there are none to read.
InfoEntries read_info_dictionary(const std::string& path);

// One key of read_info_dictionary(path), read afresh on each call.
std::optional<std::string> info_dictionary_string_from(const std::string& path, std::string_view key);

// The directory that holds the directory of `executable_path`: /b/Contents/MacOS/x gives /b/Contents.
std::string contents_directory_of(std::string_view executable_path);

}  // namespace kestrova::platform::linux_backend
