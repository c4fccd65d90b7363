// The menu entries kestrova-pack desktop-entry writes for a bundle, as the installer keeps them
// right: an update that renames the bundle's executable would otherwise leave the entries naming a
// launcher that is gone, and the desktop drops them (TryExec). A library of its own, which the
// packaging tool and the update framework both link, so that the tool writes entries by the very
// rules the framework rewrites them with.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::freedesktop {

// The key written into every entry the tool makes, naming the bundle the entry belongs to.
inline constexpr std::string_view desktop_bundle_key = "X-Kestrova-Bundle";

// A value of type string or localestring as a desktop entry writes it: backslash, newline, tab and
// carriage return escaped, a leading or trailing space as \s (readers trim them).
std::string desktop_entry_escape(std::string_view value);

// The string escaping undone: \s, \n, \t, \r and \\; any other backslash stays as it is.
std::string desktop_entry_unescape(std::string_view value);

// One argument of the Exec key, before the string escaping above: bare when it holds no reserved
// character, otherwise in double quotes with ", `, $ and \ escaped; '%' doubled either way.
std::string exec_argument(std::string_view argument);

// The Exec value (escaped, as it stands after "Exec=") that starts `executable` with the files or
// URLs it is opened with. GLib looks the program up before it expands field codes, so a launcher
// whose path holds '%' (written "%%") would name a file that does not exist, and GLib drops the
// whole entry: such a launcher is started by /bin/sh, which gets the path as an argument, where
// "%%" is expanded as usual. `field_code` is %U (URLs), or %F (local files) for an entry that opens
// file types.
std::string desktop_exec_value(std::string_view executable, std::string_view field_code = "%U");

// The bundle an entry's text names in its desktop_bundle_key, unescaped; nullopt for an entry the
// tool did not write.
std::optional<std::filesystem::path> bundle_of_desktop_entry(std::string_view text);

// The entry's text with the launcher `old_launcher` replaced by `new_launcher` in the main
// group's Exec and TryExec: an Exec as the tool writes it is written anew (its form may change
// with the path), one the user extended has the old launcher argument replaced in place.
std::string desktop_entry_with_launcher(std::string_view text, const std::filesystem::path& old_launcher,
                                        const std::filesystem::path& new_launcher);

// After an update of `bundle` whose executable (CFBundleExecutable) is now `new_executable`: every
// entry in `data_home`/applications that the tool wrote for this bundle (its desktop_bundle_key
// names it) and whose TryExec names another launcher of the bundle (Contents/MacOS/OLD, the one
// before the update) that the bundle no longer holds is rewritten to start the new launcher, written aside and renamed over the
// old one, with its mode kept. Other files are not touched, so the call is harmless after an
// update that kept the name. Returns the entries rewritten; one that cannot be rewritten is
// skipped (the menu then loses only that entry, as it would have without this), and its path is
// put into `failed` if given.
std::vector<std::filesystem::path> refresh_desktop_entries(const std::filesystem::path& bundle,
                                                           const std::string& new_executable,
                                                           const std::filesystem::path& data_home,
                                                           std::vector<std::filesystem::path>* failed = nullptr);

// The user's data home: $XDG_DATA_HOME when it is absolute, otherwise $HOME/.local/share; empty
// when neither is set. `environment` gives a variable's value, nothing when unset.
std::filesystem::path user_data_home(const std::function<std::optional<std::string>(std::string_view)>& environment);

}  // namespace kestrova::freedesktop
