// The menu entries kestrova-pack desktop-entry writes for a bundle, as the installer keeps them
// right: an update that renames the bundle's executable would otherwise leave the entries naming a
// launcher that is gone, and the desktop drops them (TryExec). The texts are inline here so that
// the packaging tool writes entries by the very rules the framework rewrites them with, without
// either linking the other.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::sparkle {

// The key written into every entry the tool makes, naming the bundle the entry belongs to.
inline constexpr std::string_view desktop_bundle_key = "X-Kestrova-Bundle";

// A value of type string or localestring as a desktop entry writes it: backslash, newline, tab and
// carriage return escaped, a leading or trailing space as \s (readers trim them).
inline std::string desktop_entry_escape(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case ' ':
                out += (i == 0 || i + 1 == value.size()) ? "\\s" : " ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The string escaping undone: \s, \n, \t, \r and \\; any other backslash stays as it is.
inline std::string desktop_entry_unescape(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += '\\';
                out += value[i];
        }
    }
    return out;
}

// One argument of the Exec key, before the string escaping above: bare when it holds no reserved
// character, otherwise in double quotes with ", `, $ and \ escaped; '%' doubled either way.
inline std::string exec_argument(std::string_view argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string out;
    const bool quoted = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    if (quoted) out += '"';
    for (const char c : argument) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    if (quoted) out += '"';
    return out;
}

// The Exec value (escaped, as it stands after "Exec=") that starts `executable` with the files or
// URLs it is opened with. GLib looks the program up before it expands field codes, so a launcher
// whose path holds '%' (written "%%") would name a file that does not exist, and GLib drops the
// whole entry: such a launcher is started by /bin/sh, which gets the path as an argument, where
// "%%" is expanded as usual. `field_code` is %U (URLs), or %F (local files) for an entry that opens
// file types.
inline std::string desktop_exec_value(std::string_view executable, std::string_view field_code = "%U") {
    std::string line;
    if (executable.find('%') != std::string_view::npos) {
        line += "/bin/sh -c ";
        line += exec_argument("exec \"$0\" \"$@\"");
        line += ' ';
    }
    line += exec_argument(executable);
    line += ' ';
    line += field_code;
    return desktop_entry_escape(line);
}

// The bundle an entry's text names in its desktop_bundle_key, unescaped; nullopt for an entry the
// tool did not write.
inline std::optional<std::filesystem::path> bundle_of_desktop_entry(std::string_view text) {
    bool in_main_group = false;
    std::size_t from = 0;
    while (from < text.size()) {
        auto end = text.find('\n', from);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(from, end - from);
        from = end + 1;
        if (line.starts_with("[")) {
            in_main_group = line == "[Desktop Entry]";
            continue;
        }
        if (!in_main_group) continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
        if (key != desktop_bundle_key) continue;
        std::string_view value = line.substr(equals + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        return std::filesystem::path(desktop_entry_unescape(value));
    }
    return std::nullopt;
}

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

}  // namespace kestrova::sparkle
