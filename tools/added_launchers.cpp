#include "tools/added_launchers.h"

#include <algorithm>

#include "tools/packaging.h"

namespace kestrova::pack {

namespace {

constexpr std::string_view msg_bad_form =
    "--add-launcher \"{}\" is not NAME=MAINCLASS, NAME=MAINCLASS:console or NAME=MAINCLASS:gui; write it so, "
    "e.g. --add-launcher groovysh=org.apache.groovy.groovysh.Main:console";
constexpr std::string_view msg_bad_name =
    "--add-launcher \"{}\" cannot be a file name in Contents/MacOS (empty, \".\", \"..\", with '/' or over 255 "
    "bytes); choose another NAME";
constexpr std::string_view msg_name_twice =
    "--add-launcher names \"{}\" twice, or the bundle's own launcher (--name); give each command its own NAME";

}  // namespace

std::vector<AddedLauncher> parse_added_launchers(std::span<const std::string> values, std::string_view bundle_name) {
    std::vector<AddedLauncher> added;
    for (const std::string_view value : values) {
        const auto equals = value.find('=');
        if (equals == std::string_view::npos) throw PackError(fill(msg_bad_form, {value}));
        AddedLauncher launcher{std::string(value.substr(0, equals)), std::string(value.substr(equals + 1)), {}};
        // A Java class name never holds ':', so the last one starts the suffix.
        if (const auto colon = launcher.main_class.rfind(':'); colon != std::string::npos) {
            const std::string suffix = launcher.main_class.substr(colon + 1);
            if (suffix != "console" && suffix != "gui") throw PackError(fill(msg_bad_form, {value}));
            launcher.console = suffix == "console";
            launcher.main_class.resize(colon);
        }
        if (launcher.main_class.empty() || launcher.main_class.find(':') != std::string::npos)
            throw PackError(fill(msg_bad_form, {value}));
        const std::string_view name = launcher.name;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
            name.size() > 255)
            throw PackError(fill(msg_bad_name, {name}));
        const bool taken = name == bundle_name || std::any_of(added.begin(), added.end(),
                                                              [&](const AddedLauncher& a) { return a.name == name; });
        if (taken) throw PackError(fill(msg_name_twice, {name}));
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
