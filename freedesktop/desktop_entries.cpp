#include "freedesktop/desktop_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"

namespace kestrova::freedesktop {

namespace fs = std::filesystem;

namespace {

// An entry is a few hundred bytes; anything far larger is not one the tool wrote.
constexpr std::uintmax_t max_entry_bytes = 1u << 20;

// `text` with each whole space-separated occurrence of `from` replaced by `to`.
std::string replace_argument(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t at = 0;
    while (at <= text.size()) {
        const auto found = text.find(from, at);
        if (found == std::string_view::npos) break;
        const auto end = found + from.size();
        const bool whole = (found == 0 || text[found - 1] == ' ') && (end == text.size() || text[end] == ' ');
        out.append(text.substr(at, found - at));
        out.append(whole ? to : from);
        at = end;
    }
    out.append(text.substr(std::min(at, text.size())));
    return out;
}

// The bundle's path as entries name it: absolute, normal, without a trailing '/'.
fs::path normal(const fs::path& path) {
    fs::path out = path.lexically_normal();
    if (out.filename().empty() && out.has_parent_path() && out != out.root_path()) out = out.parent_path();
    return out;
}

// The launcher the main group's TryExec names, unescaped.
std::optional<fs::path> launcher_of_entry(std::string_view text) {
    bool in_main_group = false;
    std::size_t from = 0;
    while (from < text.size()) {
        auto end = text.find('\n', from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(from, end - from);
        from = end + 1;
        if (line.starts_with("["))
            in_main_group = line == "[Desktop Entry]";
        else if (in_main_group && line.starts_with("TryExec="))
            return fs::path(desktop_entry_unescape(line.substr(8)));
    }
    return std::nullopt;
}

}  // namespace

std::string desktop_entry_escape(std::string_view value) {
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

std::string desktop_entry_unescape(std::string_view value) {
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

std::string exec_argument(std::string_view argument) {
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

std::string desktop_exec_value(std::string_view executable, std::string_view field_code) {
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

std::optional<fs::path> bundle_of_desktop_entry(std::string_view text) {
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
        return fs::path(desktop_entry_unescape(value));
    }
    return std::nullopt;
}

std::string desktop_entry_with_launcher(std::string_view text, const fs::path& old_launcher,
                                        const fs::path& new_launcher) {
    const std::string old_exec = desktop_exec_value(old_launcher.string());
    const std::string new_exec = desktop_exec_value(new_launcher.string());
    const std::string old_argument = desktop_entry_escape(exec_argument(old_launcher.string()));
    const std::string new_argument = desktop_entry_escape(exec_argument(new_launcher.string()));
    std::string out;
    bool in_main_group = false;
    std::size_t from = 0;
    while (from < text.size()) {
        auto end = text.find('\n', from);
        const bool has_end = end != std::string_view::npos;
        if (!has_end) end = text.size();
        const std::string_view line = text.substr(from, end - from);
        from = end + 1;
        std::string written(line);
        if (line.starts_with("[")) {
            in_main_group = line == "[Desktop Entry]";
        } else if (const auto equals = line.find('='); in_main_group && equals != std::string_view::npos) {
            std::string_view key = line.substr(0, equals);
            while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
            std::string_view value = line.substr(equals + 1);
            while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
            if (key == "TryExec" && desktop_entry_unescape(value) == old_launcher.string())
                written = "TryExec=" + desktop_entry_escape(new_launcher.string());
            else if (key == "Exec" && value == old_exec)
                written = "Exec=" + new_exec;
            else if (key == "Exec")
                written = "Exec=" + replace_argument(value, old_argument, new_argument);
        }
        out += written;
        if (has_end) out += '\n';
    }
    return out;
}

std::vector<fs::path> refresh_desktop_entries(const fs::path& bundle, const std::string& new_executable,
                                              const fs::path& data_home, std::vector<fs::path>* failed) {
    std::vector<fs::path> refreshed;
    if (new_executable.empty() || new_executable.find('/') != std::string::npos || data_home.empty()) return refreshed;
    const fs::path owner = normal(bundle);
    const fs::path launchers = kestrova::bundle_layout::executables_of(owner);
    const fs::path new_launcher = launchers / new_executable;
    std::error_code ec;
    for (fs::directory_iterator it(data_home / "applications", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const fs::path entry = it->path();
        struct stat info {};
        // Links are not followed: what they lead to is not the tool's entry in this directory.
        if (entry.extension() != ".desktop" || ::lstat(entry.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<std::uintmax_t>(info.st_size) > max_entry_bytes)
            continue;
        std::ifstream in(entry, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto named = bundle_of_desktop_entry(text);
        if (!in.good() && !in.eof()) continue;
        if (!named || normal(*named) != owner) continue;
        const auto old_launcher = launcher_of_entry(text);
        if (!old_launcher || old_launcher->parent_path() != launchers || *old_launcher == new_launcher) continue;
        // A bundle with more than one command has an entry per command: one whose launcher the
        // new version still has starts that command, not the bundle's main one.
        struct stat launcher_info {};
        if (::lstat(old_launcher->c_str(), &launcher_info) == 0 && S_ISREG(launcher_info.st_mode)) continue;
        const std::string updated = desktop_entry_with_launcher(text, *old_launcher, new_launcher);
        if (updated == text) continue;
        if (kestrova::replace_file(entry, updated, info.st_mode & 07777) == 0)
            refreshed.push_back(entry);
        else if (failed != nullptr)
            failed->push_back(entry);
    }
    return refreshed;
}

fs::path user_data_home(const std::function<std::optional<std::string>(std::string_view)>& environment) {
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    if (const auto xdg = environment("XDG_DATA_HOME"); xdg && xdg->starts_with('/')) return *xdg;
    if (const auto home = environment("HOME"); home && !home->empty()) return fs::path(*home) / ".local" / "share";
    return {};
}

}  // namespace kestrova::freedesktop
