// Where things are in an application bundle: the one place that spells its folders, for the tool
// that assembles bundles, the framework that replaces them and the launcher that starts from one.
//
//   NAME.app/Contents/Info.plist
//   NAME.app/Contents/MacOS/EXECUTABLE          the launchers
//   NAME.app/Contents/Resources/                the JARs and the application's files
//   NAME.app/Contents/runtime/Contents/Home/    the Java runtime
//   NAME.app/Contents/Frameworks/               the update framework
//   NAME.app/.kestrova-lock                     the installation's lock, once a start made it
#pragma once

#include <filesystem>
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
