// The main bundle's information dictionary (Contents/Info.plist of the bundle holding the
// executable). Any other bundle's is read from its file with property_list.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.h"

namespace kestrova::platform {

// The value of `key` as a string, converted as read_property_list describes. Absent when the key,
// the file, or a readable dictionary is missing.
std::optional<std::string> info_dictionary_string(std::string_view key);

// Whether the dictionary may hold `key`: false only when it certainly does not, told without reading
// the dictionary's values (the key's name does not occur in the file), so that a launch that looks
// for a key most bundles lack does not pay for the property list reader.
bool info_dictionary_may_hold(std::string_view key);

// The bundle's Contents directory (the executable's directory's parent), absolute.
std::string bundle_contents_directory();

}  // namespace kestrova::platform
