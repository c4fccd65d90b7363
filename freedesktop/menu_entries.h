// Writing a bundle's menu entries: one desktop entry per GUI command, its icon and the definition of
// the file types it opens. The packaging tool's desktop-entry command and the launcher of a bundle
// that puts itself in the menu both write through here, so an entry is the same whoever made it.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::freedesktop {

// A refusal or a failure to write: one line that says what is wrong and what to do.
class MenuEntryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether `bytes` begin as a PNG image does: the eight-byte signature, then an IHDR chunk with a
// width and a height that are not zero.
bool is_png(std::span<const char> bytes);

// The WM_CLASS that AWT gives the windows of an application whose main class is `main_class` (in
// binary or JNI form): the class name with '.' made '-', as the X11 toolkit derives it from the
// bottom frame of the thread that starts it, the application's main thread.
std::string wm_class_for_main_class(std::string_view main_class);

// The desktop file ID for a bundle identifier: every byte other than an ASCII letter, digit, '-',
// '_' or '.' made '_', then ".desktop".
std::string desktop_file_name(std::string_view bundle_identifier);

struct DesktopEntryFields {
    std::string name;
    std::filesystem::path executable;  // absolute
    std::string icon;                  // absolute path of a file, or a name from the icon theme
    bool terminal = false;
    std::vector<std::string> categories;
    std::string wm_class;
    std::filesystem::path bundle;         // absolute; marks the entry as this bundle's
    std::vector<std::string> mime_types;  // MimeType; the launcher then gets files (%F)
    std::optional<std::string> comment;
    std::vector<std::string> keywords;
};

// The entry's text. Throws MenuEntryError for a value the format cannot carry (not UTF-8, control
// characters).
std::string desktop_entry_text(const DesktopEntryFields& fields);

// A launcher of a bundle and what its record says.
struct BundleLauncher {
    std::string name;  // its file name in Contents/MacOS
    std::string main_class;
    bool console = false;
};

// The launcher at `executable`, when it holds a burned launch record.
std::optional<BundleLauncher> read_bundle_launcher(const std::filesystem::path& executable);

// A value of the bundle's Info.plist as a string; nothing when absent.
using InfoValues = std::function<std::optional<std::string>(std::string_view key)>;

struct MenuEntryRequest {
    std::filesystem::path bundle;
    InfoValues info;                  // the bundle's Info.plist, as the caller read it
    std::filesystem::path directory;  // the applications directory
    std::vector<std::string> categories;
    std::optional<std::string> wm_class;  // instead of the one the main class gives
    std::vector<std::string> mime_types;
    // The shared-mime-info definition of the types the system does not know, when some are
    // unknown (the caller checked that it defines them).
    std::optional<std::filesystem::path> mime_definition;
    std::optional<std::string> comment;
    std::vector<std::string> keywords;
    // Where the entries say the bundle is, when that is not where it is read (a package's tree).
    std::optional<std::filesystem::path> installed_bundle;
    // An icon name of the theme instead of the icon file's path.
    std::optional<std::string> icon_name;
    // Runs update-mime-database on a mime directory once a definition is installed there; the
    // failure's reason, nothing when it worked. Unset: the database is left to the system.
    std::function<std::optional<std::string>(const std::filesystem::path& mime)> update_mime_database;
};

struct MenuEntryResult {
    std::vector<std::filesystem::path> entries;
    std::optional<std::filesystem::path> mime_definition;  // where the definition was installed
    std::vector<std::string> notes;                        // one line each, for the user
};

// Writes the bundle's entries into the directory (created if missing): one for each GUI launcher
// in Contents/MacOS (the bundle's own launcher first, then the added ones by name), or the bundle's
// own one alone when it has no GUI launcher; removes the other entries there that name the same
// bundle. A definition is installed as DIR/../mime/packages/IDENTIFIER.xml. Throws MenuEntryError.
MenuEntryResult write_menu_entries(const MenuEntryRequest& request);

// The entries of `directory` (regular *.desktop files) that name `bundle`, sorted.
std::vector<std::filesystem::path> menu_entries_of(const std::filesystem::path& bundle,
                                                   const std::filesystem::path& directory);

// Removes every entry of the directory that names the bundle; the bundle itself need not exist any
// more. Returns the paths removed; throws MenuEntryError when there was none.
std::vector<std::filesystem::path> remove_menu_entries(const std::filesystem::path& bundle,
                                                       const std::filesystem::path& directory);

// The bundle's path as entries name it: absolute, without "." or ".." and without a trailing '/',
// links left as they are (a link the user keeps pointing at the newest bundle stays useful).
std::filesystem::path entry_bundle_path(const std::filesystem::path& bundle);

}  // namespace kestrova::freedesktop
