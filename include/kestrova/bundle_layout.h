// Where things are in an application bundle: the one place that spells its folders, for the tool
// that assembles bundles, the framework that replaces them and the launcher that starts from one.
//
//   NAME.app/Contents/Info.plist
//   NAME.app/Contents/MacOS/EXECUTABLE          the launchers
//   NAME.app/Contents/Resources/                the JARs and the application's files
//   NAME.app/Contents/runtime/Contents/Home/    the Java runtime
//   NAME.app/Contents/Frameworks/               the update framework
//   NAME.app/.kestrova-lock                     the installation's lock, once a start made it
//   .NAME.app.kestrova-update-XXXXXX/NAME.app    beside it: a staging area, the new tree before
//                                               an install's exchange, the old one after it
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::bundle_layout {

inline constexpr std::string_view contents = "Contents";
inline constexpr std::string_view executables = "MacOS";
inline constexpr std::string_view resources = "Resources";
inline constexpr std::string_view frameworks = "Frameworks";
inline constexpr std::string_view info_plist = "Info.plist";
// The Java home, relative to Contents: a bundle of its own inside the bundle, as on macOS.
inline constexpr std::string_view runtime_home = "runtime/Contents/Home";
// The installation's lock, at the top of the bundle: made by the first start of a user who may
// change the installation, so it is state of the installed copy, not part of what is shipped.
inline constexpr std::string_view installation_lock = ".kestrova-lock";

// The staging areas an install works in beside NAME.app: ".NAME.app.kestrova-update-" and
// mkdtemp's six letters or digits, or ".kestrova-update-HASH-" and the six when that would pass the
// 255-byte file-name limit (HASH: FNV-1a of NAME.app, 16 hex digits, keeps one bundle's short
// form apart from another's in the same folder). Spelled here because the installer names them
// and a start whose tree an install moved into one must see where it came from.
inline constexpr std::string_view staging_marker = "kestrova-update-";
inline constexpr std::size_t staging_suffix_length = 6;

// What every staging area of the bundle named `bundle_name` (NAME.app) starts with.
inline std::string staging_prefix(std::string_view bundle_name) {
    // Appended piece by piece: the chain of operator+ makes g++ 12 at -O3 warn falsely (-Wrestrict).
    std::string prefix = ".";
    if (prefix.size() + bundle_name.size() + 1 + staging_marker.size() + staging_suffix_length <= 255) {
        prefix += bundle_name;
        prefix += '.';
        prefix += staging_marker;
        return prefix;
    }
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : bundle_name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    prefix += staging_marker;
    for (int shift = 60; shift >= 0; shift -= 4) prefix += "0123456789abcdef"[(hash >> shift) & 0xfu];
    prefix += '-';
    return prefix;
}

// Whether `name` is one of the staging areas `prefix` starts: the prefix and exactly mkdtemp's six
// letters or digits. Without the length check ".A.app.kestrova-update-" would also match the areas
// of a bundle named "A.app.kestrova-update-x.app".
inline bool is_staging_name(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + staging_suffix_length || !name.starts_with(prefix)) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// The installation a bundle directory (absolute, normal) lies in a staging area of: P/NAME.app for
// P/<staging area of NAME.app>/NAME.app, where an install's exchange puts the tree it replaced;
// nothing for a bundle in no staging area.
inline std::optional<std::filesystem::path> installation_of_staged(const std::filesystem::path& bundle) {
    const std::filesystem::path area = bundle.parent_path();
    if (bundle.filename().empty() || area == bundle || area.filename().empty()) return std::nullopt;
    const std::string name = bundle.filename().string();
    if (!is_staging_name(area.filename().string(), staging_prefix(name))) return std::nullopt;
    return area.parent_path() / name;
}

inline std::filesystem::path contents_of(const std::filesystem::path& bundle) { return bundle / contents; }
inline std::filesystem::path info_plist_of(const std::filesystem::path& bundle) {
    return bundle / contents / info_plist;
}
inline std::filesystem::path executables_of(const std::filesystem::path& bundle) {
    return bundle / contents / executables;
}
inline std::filesystem::path resources_of(const std::filesystem::path& bundle) { return bundle / contents / resources; }
inline std::filesystem::path frameworks_of(const std::filesystem::path& bundle) {
    return bundle / contents / frameworks;
}
inline std::filesystem::path runtime_home_of(const std::filesystem::path& bundle) {
    return bundle / contents / runtime_home;
}

}  // namespace kestrova::bundle_layout
