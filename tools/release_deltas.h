// Which earlier versions a release makes deltas from, and what their files are called.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// How many of the newest earlier versions a release makes a delta from, unless told otherwise.
inline constexpr std::size_t default_release_deltas = 5;

// The versions `appcast` offers this system on the default channel that are older than `version`
// and whose archive (NAME-VERSION.tar.gz) the site still holds, newest first, at most `count`.
std::vector<std::string> delta_base_versions(std::optional<std::string_view> appcast, std::string_view version,
                                             const std::filesystem::path& site, std::string_view name,
                                             std::size_t count);

// "NAME-TO-from-FROM.delta": one file per pair, beside the archives.
std::string delta_file_name(std::string_view name, std::string_view from, std::string_view to);

}  // namespace kestrova::pack
