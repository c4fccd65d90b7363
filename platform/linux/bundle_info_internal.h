// The pieces below the main bundle's cached information dictionary, for tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform::linux_backend {

// One key of read_info_dictionary(path), read afresh on each call.
std::optional<std::string> info_dictionary_string_from(const std::string& path, std::string_view key);

// The directory that holds the directory of `executable_path`: /b/Contents/MacOS/x gives /b/Contents.
std::string contents_directory_of(std::string_view executable_path);

}  // namespace kestrova::platform::linux_backend
