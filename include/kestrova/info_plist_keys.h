// The keys of a bundle's Info.plist: the one place that spells them, for the tool that writes the
// file, the launcher and the update framework that read it, and the tests that check both. Beside
// bundle_layout.h, which says where the file is.
//
// Arrays rather than string views, so that each key passes as it is to whatever takes a key: a
// std::string_view, a C string of the framework's table, or a std::string in a map.
#pragma once

namespace kestrova::info_keys {

// The bundle's own facts, as macOS names them.
inline constexpr char bundle_executable[] = "CFBundleExecutable";
inline constexpr char bundle_icon_file[] = "CFBundleIconFile";
inline constexpr char bundle_identifier[] = "CFBundleIdentifier";
inline constexpr char bundle_info_dictionary_version[] = "CFBundleInfoDictionaryVersion";
inline constexpr char bundle_name[] = "CFBundleName";
inline constexpr char bundle_display_name[] = "CFBundleDisplayName";
inline constexpr char bundle_package_type[] = "CFBundlePackageType";
inline constexpr char bundle_short_version[] = "CFBundleShortVersionString";
inline constexpr char bundle_version[] = "CFBundleVersion";

// The update framework's settings, as the real framework names them.
inline constexpr char feed_url[] = "SUFeedURL";
inline constexpr char public_ed_key[] = "SUPublicEDKey";
inline constexpr char enable_automatic_checks[] = "SUEnableAutomaticChecks";
inline constexpr char scheduled_check_interval[] = "SUScheduledCheckInterval";

// This launcher's own (booleans).
// Written by `kestrova-pack bundle --require-signed-feed`: the feed must be signed with the
// bundle's SUPublicEDKey.
inline constexpr char require_signed_feed[] = "KestrovaRequireSignedFeed";
// Lets the user add JVM options of their own.
inline constexpr char user_jvm_options[] = "KestrovaUserJVMOptions";
// Written as false for --no-class-data.
inline constexpr char class_data[] = "KestrovaClassData";
// Written by a system package into the bundle it installs: the package manager replaces this copy,
// so the updater only tells the user of a newer version and the launch gate never holds a start
// for one.
inline constexpr char package_managed[] = "KestrovaPackageManaged";

// This launcher's own (text).
// Written by `kestrova-pack bundle --update-channel NAME`: the update channels the bundle follows
// beside the default one, apart by commas.
inline constexpr char update_channels[] = "KestrovaUpdateChannels";
// Written by `kestrova-pack bundle --desktop-integration ask|yes`: "yes", a start of a copy the
// user downloaded writes its menu entries; "ask", it offers them once; absent or anything else,
// nothing.
inline constexpr char desktop_integration[] = "KestrovaDesktopIntegration";
// The entries' Categories and MimeType for such a bundle, each value followed by ';' as the entry
// writes them.
inline constexpr char desktop_categories[] = "KestrovaDesktopCategories";
inline constexpr char desktop_mime_types[] = "KestrovaDesktopMimeTypes";

}  // namespace kestrova::info_keys
