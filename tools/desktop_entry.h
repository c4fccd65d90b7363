// The bundle's place on a freedesktop desktop: its icon, checked when it is bundled, and a desktop
// entry (a .desktop file in an applications directory) that puts it in the menu. The texts are pure
// functions; writing and removing entries works on a directory given by the caller.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "freedesktop/desktop_entries.h"
#include "freedesktop/menu_entries.h"

namespace kestrova::pack {

// The entries themselves are written by the freedesktop library, which the launcher of a bundle
// that puts itself in the menu writes them with too.
using freedesktop::BundleLauncher;
using freedesktop::desktop_entry_text;
using freedesktop::desktop_file_name;
using freedesktop::DesktopEntryFields;
using freedesktop::is_png;
using freedesktop::read_bundle_launcher;
using freedesktop::wm_class_for_main_class;

// Whether `category` can go into the Categories key: a category the freedesktop menu standard
// registers, or a private one starting with "X-".
bool is_known_category(std::string_view category);

// The value escaping and the Exec form are the update framework's, which rewrites the entries
// after an update that renames the launcher.
using freedesktop::desktop_entry_escape;
using freedesktop::exec_argument;

// The key written into every entry the tool makes, naming the bundle the entry belongs to.
inline constexpr std::string_view bundle_key = freedesktop::desktop_bundle_key;

// The bundle an entry's text names in its bundle_key, unescaped; nullopt for an entry the tool did
// not write.
inline std::optional<std::filesystem::path> bundle_of_entry(std::string_view text) {
    return freedesktop::bundle_of_desktop_entry(text);
}

// The applications directory of the user's data home: $XDG_DATA_HOME/applications when that
// variable holds an absolute path, otherwise $HOME/.local/share/applications. Throws PackError when
// neither can be found.
std::filesystem::path default_applications_directory(const char* xdg_data_home, const char* home);

// What the desktop-entry command does, with a bundle read from disk.
struct DesktopEntryRequest {
    std::filesystem::path bundle;
    std::filesystem::path directory;
    std::vector<std::string> categories;
    std::optional<std::string> wm_class;  // instead of the one the main class gives
    std::vector<std::string> mime_types;
    std::optional<std::filesystem::path> mime_definition;      // shared-mime-info XML for unknown types
    std::vector<std::filesystem::path> mime_data_directories;  // where known types are looked up
    std::optional<std::string> comment;
    std::vector<std::string> keywords;
    // A package reads the bundle from its staging tree: the entries name where it will be
    // installed, their icon is a name its package puts in the icon theme, and the mime database
    // is updated by the system's triggers at install, not in the tree.
    std::optional<std::filesystem::path> installed_bundle;
    std::optional<std::string> icon_name;
    bool update_mime_database = true;
};

// The entries written, where the definition was installed, and one line each for the user.
using DesktopEntryResult = freedesktop::MenuEntryResult;

// Writes the bundle's entries into the directory (created if missing): one for each GUI launcher
// in Contents/MacOS (the bundle's own launcher first, then the added ones by name), or the bundle's
// own one alone when it has no GUI launcher; removes the other entries there that name the same
// bundle. Without categories, or without types and a definition, in the request, the ones the
// bundle stored for --desktop-integration are used. A type the mime database of `mime_data_directories` does not know needs a definition,
// installed as DIR/../mime/packages/IDENTIFIER.xml (update-mime-database is run on DIR/../mime
// when it is installed). Throws PackError.
DesktopEntryResult write_desktop_entry(const DesktopEntryRequest& request);

// Removes every entry of the directory that names the bundle; the bundle itself need not exist any
// more. Returns the paths removed; throws PackError when there was none.
std::vector<std::filesystem::path> remove_desktop_entries(const std::filesystem::path& bundle,
                                                          const std::filesystem::path& directory);

}  // namespace kestrova::pack
