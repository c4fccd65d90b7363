// The bundle's update settings, as the launch gate and the update framework both read them from
// Info.plist: one reader and one rule, so that the two never disagree about what a bundle says.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// An Info.plist value as a string (booleans as "YES"/"NO"); nothing when absent.
using InfoLookup = std::function<std::optional<std::string>(std::string_view key)>;

struct UpdateSettings {
    // CFBundleVersion as it stands; present even when empty.
    std::optional<std::string> bundle_version;
    // SUFeedURL trimmed of white space; nothing when absent or blank.
    std::optional<std::string> feed_url;
    // CFBundleShortVersionString trimmed, else the bundle version; for the user's eyes.
    std::string display_version;
    // CFBundleDisplayName, else CFBundleName (trimmed), else "This application".
    std::string application_name;
    // CFBundleIdentifier as it stands; empty when absent.
    std::string identifier;
    // The package manager installed this copy (Info.plist's KestrovaPackageManaged is true).
    bool package_managed = false;

    // Whether the bundle version is one an update can be checked against: present and holding
    // something besides white space. Without one the updater does not start, so nothing may wait
    // for it.
    bool has_usable_version() const;
};

// Reads the settings above through `info`.
UpdateSettings read_update_settings(const InfoLookup& info);

}  // namespace kestrova
