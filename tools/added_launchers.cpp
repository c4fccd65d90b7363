#include "tools/added_launchers.h"

#include <algorithm>

#include "kestrova/utf8.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace {

constexpr std::string_view msg_bad_form =
    "--add-launcher \"{}\" is not NAME=MAINCLASS, NAME=MAINCLASS:console or NAME=MAINCLASS:gui; write it so, "
    "e.g. --add-launcher groovysh=org.apache.groovy.groovysh.Main:console";
constexpr std::string_view msg_bad_name =
    "--add-launcher \"{}\" cannot be a file name in Contents/MacOS (empty, \".\", \"..\", with '/' or over 255 "
    "bytes); choose another NAME";
constexpr std::string_view msg_name_text =
    "--add-launcher \"{}\" holds a control character or is not UTF-8, which no menu entry can carry; choose another "
    "NAME";
constexpr std::string_view msg_bad_main_class =
    "--add-launcher gives \"{}\" as the main class, which is not a Java class name (identifiers joined by '.'); "
    "write the class as in its source, e.g. org.example.Tool";
constexpr std::string_view msg_name_twice =
    "--add-launcher names \"{}\" twice, or the bundle's own launcher (--name); give each command its own NAME";

// What java takes as a class's binary name: identifiers joined by '.'. Any byte of a UTF-8
// sequence counts as a letter, as Java's identifiers may be in any script.
bool is_class_name(std::string_view name) {
    if (sanitize_utf8(name) != name) return false;
    bool part_start = true;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '.') {
            if (part_start) return false;
            part_start = true;
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || byte >= 0x80;
        if (!letter && !(c >= '0' && c <= '9' && !part_start)) return false;
        part_start = false;
    }
    return !part_start;
}

// `text` with its control characters as escapes (\n, \x01), so that the refusal stays one line.
std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (byte < 0x20 || byte == 0x7F)
            out += fill("\\x{}", {std::string{"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 0xf]}});
        else
            out += c;
    }
    return out;
}

bool holds_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace

std::vector<AddedLauncher> parse_added_launchers(std::span<const std::string> values, std::string_view bundle_name) {
    std::vector<AddedLauncher> added;
    for (const std::string_view value : values) {
        const auto equals = value.find('=');
        if (equals == std::string_view::npos) throw PackError(fill(msg_bad_form, {shown(value)}));
        AddedLauncher launcher{std::string(value.substr(0, equals)), std::string(value.substr(equals + 1)), {}};
        // A Java class name never holds ':', so the last one starts the suffix.
        if (const auto colon = launcher.main_class.rfind(':'); colon != std::string::npos) {
            const std::string suffix = launcher.main_class.substr(colon + 1);
            if (suffix != "console" && suffix != "gui") throw PackError(fill(msg_bad_form, {shown(value)}));
            launcher.console = suffix == "console";
            launcher.main_class.resize(colon);
        }
        if (launcher.main_class.empty() || launcher.main_class.find(':') != std::string::npos)
            throw PackError(fill(msg_bad_form, {shown(value)}));
        const std::string_view name = launcher.name;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
            name.size() > 255)
            throw PackError(fill(msg_bad_name, {shown(name)}));
        // Refused here, not later by desktop-entry, which could only blame the finished bundle.
        if (holds_control_character(name) || sanitize_utf8(name) != name)
            throw PackError(fill(msg_name_text, {shown(name)}));
        if (!is_class_name(launcher.main_class))
            throw PackError(fill(msg_bad_main_class, {shown(launcher.main_class)}));
        const bool taken = name == bundle_name || std::any_of(added.begin(), added.end(),
                                                              [&](const AddedLauncher& a) { return a.name == name; });
        if (taken) throw PackError(fill(msg_name_twice, {shown(name)}));
        added.push_back(std::move(launcher));
    }
    return added;
}

LaunchRecordFields added_launcher_fields(const LaunchRecordFields& bundle, const AddedLauncher& added) {
    LaunchRecordFields fields = bundle;
    fields.main_class = added.main_class;
    if (added.console) {
        fields.flags = *added.console ? static_cast<std::uint8_t>(fields.flags | flag_console)
                                      : static_cast<std::uint8_t>(fields.flags & ~flag_console);
    }
    return fields;
}

}  // namespace kestrova::pack
