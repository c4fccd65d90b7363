#include "tools/desktop_entry.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/burned_in_data.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/utf8.h"
#include "platform/property_list.h"
#include "tools/file_ops.h"
#include "tools/mime_types.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

// --- Messages -----------------------------------------------------------------------------------

constexpr std::string_view msg_not_utf8 = "{} is not valid UTF-8, which a desktop entry needs; {}";
constexpr std::string_view msg_control = "{} contains a control character, which a desktop entry cannot carry; {}";
constexpr std::string_view hint_move_bundle = "move the bundle to a path without it";
constexpr std::string_view hint_rename = "bundle the application again with another --name";
constexpr std::string_view msg_no_home =
    "cannot find the applications directory: neither XDG_DATA_HOME (absolute) nor HOME is set; pass --dir DIR";
constexpr std::string_view msg_no_plist =
    "\"{}\" is not a bundle made by kestrova-pack bundle: no readable Contents/Info.plist with "
    "CFBundleExecutable; name the NAME.app directory";
constexpr std::string_view msg_no_executable =
    "the bundle's executable \"{}\" is missing or not executable; bundle the application again";
constexpr std::string_view msg_no_runtime =
    "the bundle has no Java runtime at \"{}\" (no lib/server/libjvm.so), so it cannot start from the "
    "menu; bundle again with --runtime JAVA_HOME, or --copy-runtime for a bundle that moves";
constexpr std::string_view msg_bad_icon =
    "the bundle's icon \"{}\" (CFBundleIconFile) is missing or not a PNG image; bundle again with --icon PNG";
constexpr std::string_view msg_foreign_entry =
    "\"{}\" exists and was not written by kestrova-pack; remove it, or bundle the application with "
    "another --bundle-identifier";
constexpr std::string_view msg_no_entry =
    "no desktop entry in \"{}\" belongs to \"{}\"; nothing was removed (check the bundle's path and --dir)";
constexpr std::string_view msg_cannot_list = "cannot read the directory \"{}\": {}; check --dir";
constexpr std::string_view msg_cannot_remove = "cannot remove \"{}\": {}; check the permissions there";
constexpr std::string_view msg_cannot_make_dir = "cannot create the directory \"{}\": {}; check --dir";
constexpr std::string_view msg_bad_mime_type =
    "--mime-type \"{}\" is not a media type (TYPE/SUBTYPE, e.g. text/x-groovy); write it so";
constexpr std::string_view msg_unknown_mime_type =
    "--mime-type \"{}\" is a type this system does not know; give its shared-mime-info definition with "
    "--mime-definition FILE";
constexpr std::string_view msg_definition_lacks =
    "--mime-definition \"{}\" does not define \"{}\", which this system does not know; add a <mime-type "
    "type=\"{}\"> to it";
constexpr std::string_view msg_definition_unused =
    "--mime-definition is only for a --mime-type this system does not know, and it knows every one given; "
    "drop --mime-definition";
constexpr std::string_view msg_bad_keyword = "--keywords \"{}\" holds an empty keyword; separate keywords by ','";
constexpr std::string_view msg_mime_database_failed =
    "warning: update-mime-database failed ({}), so the desktop may not know the new types until it runs; "
    "run update-mime-database {}";
constexpr std::string_view msg_linked_runtime =
    "note: the bundle's runtime is a link to {}, so its entries stop working when that JDK is removed or "
    "upgraded away; bundle with --copy-runtime or --jlink for entries that last";

// Main categories, then additional ones, then the reserved ones, of the freedesktop menu standard.
constexpr std::string_view registered_categories[] = {
    "AudioVideo",
    "Audio",
    "Video",
    "Development",
    "Education",
    "Game",
    "Graphics",
    "Network",
    "Office",
    "Science",
    "Settings",
    "System",
    "Utility",
    "Building",
    "Debugger",
    "IDE",
    "GUIDesigner",
    "Profiling",
    "RevisionControl",
    "Translation",
    "Calendar",
    "ContactManagement",
    "Database",
    "Dictionary",
    "Chart",
    "Email",
    "Finance",
    "FlowChart",
    "PDA",
    "ProjectManagement",
    "Presentation",
    "Spreadsheet",
    "WordProcessor",
    "2DGraphics",
    "VectorGraphics",
    "RasterGraphics",
    "3DGraphics",
    "Scanning",
    "OCR",
    "Photography",
    "Publishing",
    "Viewer",
    "TextTools",
    "DesktopSettings",
    "HardwareSettings",
    "Printing",
    "PackageManager",
    "Dialup",
    "InstantMessaging",
    "Chat",
    "IRCClient",
    "Feed",
    "FileTransfer",
    "HamRadio",
    "News",
    "P2P",
    "RemoteAccess",
    "Telephony",
    "TelephonyTools",
    "VideoConference",
    "WebBrowser",
    "WebDevelopment",
    "Midi",
    "Mixer",
    "Sequencer",
    "Tuner",
    "TV",
    "AudioVideoEditing",
    "Player",
    "Recorder",
    "DiscBurning",
    "ActionGame",
    "AdventureGame",
    "ArcadeGame",
    "BoardGame",
    "BlocksGame",
    "CardGame",
    "KidsGame",
    "LogicGame",
    "RolePlaying",
    "Shooter",
    "Simulation",
    "SportsGame",
    "StrategyGame",
    "Art",
    "Construction",
    "Music",
    "Languages",
    "ArtificialIntelligence",
    "Astronomy",
    "Biology",
    "Chemistry",
    "ComputerScience",
    "DataVisualization",
    "Economy",
    "Electricity",
    "Geography",
    "Geology",
    "Geoscience",
    "History",
    "Humanities",
    "ImageProcessing",
    "Literature",
    "Maps",
    "Math",
    "NumericalAnalysis",
    "MedicalSoftware",
    "Physics",
    "Robotics",
    "Spirituality",
    "Sports",
    "ParallelComputing",
    "Amusement",
    "Archiving",
    "Compression",
    "Electronics",
    "Emulator",
    "Engineering",
    "FileTools",
    "FileManager",
    "TerminalEmulator",
    "Filesystem",
    "Monitor",
    "Security",
    "Accessibility",
    "Calculator",
    "Clock",
    "TextEditor",
    "Documentation",
    "Adult",
    "Core",
    "KDE",
    "GNOME",
    "XFCE",
    "DDE",
    "GTK",
    "Qt",
    "Motif",
    "Java",
    "ConsoleOnly",
    "Screensaver",
    "TrayIcon",
    "Applet",
    "Shell",
};

bool is_id_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// Refuses what no desktop entry value can hold.
void check_value(std::string_view value, std::string_view what, std::string_view hint) {
    if (sanitize_utf8(value) != value) throw PackError(fill(msg_not_utf8, {what, hint}));
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) throw PackError(fill(msg_control, {what, hint}));
    }
}

// The bundle's path as the entry names it: absolute, without "." or ".." and without a trailing
// '/', links left as they are (a link the user keeps pointing at the newest bundle stays useful).
fs::path normal_bundle_path(const fs::path& bundle) {
    fs::path path = fs::absolute(bundle).lexically_normal();
    if (path.filename().empty() && path.has_parent_path() && path != path.root_path()) path = path.parent_path();
    return path;
}

struct BundleFacts {
    std::string executable;
    std::string name;
    std::string identifier;
    std::optional<std::string> icon_file;
};

// Read with the launcher's own Info.plist reader, so the entry sees the values the launcher sees.
BundleFacts read_info_plist(const fs::path& bundle) {
    const fs::path plist_path = kestrova::bundle_layout::info_plist_of(bundle);
    std::error_code ec;
    if (!fs::is_regular_file(plist_path, ec)) throw PackError(fill(msg_no_plist, {bundle.string()}));
    const auto info = platform::read_info_dictionary(plist_path.string());
    const auto lookup = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    BundleFacts facts;
    const auto executable = lookup(info_keys::bundle_executable);
    if (!executable || executable->empty() || executable->find('/') != std::string::npos)
        throw PackError(fill(msg_no_plist, {bundle.string()}));
    facts.executable = *executable;
    std::string fallback_name = bundle.stem().string();
    facts.name = lookup(info_keys::bundle_name).value_or(fallback_name);
    if (facts.name.empty()) facts.name = fallback_name;
    facts.identifier = lookup(info_keys::bundle_identifier).value_or(default_bundle_identifier(facts.name));
    if (facts.identifier.empty()) facts.identifier = default_bundle_identifier(facts.name);
    facts.icon_file = lookup(info_keys::bundle_icon_file);
    return facts;
}

// The entries of `directory` (*.desktop regular files) that name `bundle`.
std::vector<fs::path> entries_of(const fs::path& bundle, const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code ec;
    if (!fs::exists(directory, ec)) return found;
    fs::directory_iterator it(directory, ec);
    if (ec) throw PackError(fill(msg_cannot_list, {directory.string(), ec.message()}));
    for (const auto& entry : it) {
        if (entry.path().extension() != ".desktop" || !entry.is_regular_file(ec)) continue;
        // An entry is a few hundred bytes; something far larger is not one of ours.
        if (entry.file_size(ec) > (1u << 20)) continue;
        std::vector<char> bytes;
        try {
            bytes = read_file(entry.path());
        } catch (const PackError&) {
            continue;  // unreadable: not one the tool could have written for this user
        }
        const auto owner = bundle_of_entry(std::string_view(bytes.data(), bytes.size()));
        if (owner && *owner == bundle) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

void remove_entry(const fs::path& entry) {
    std::error_code ec;
    if (!fs::remove(entry, ec) && ec) throw PackError(fill(msg_cannot_remove, {entry.string(), ec.message()}));
}

}  // namespace

bool is_png(std::span<const char> bytes) {
    constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
    // Signature, IHDR's length (13) and type, then its width and height.
    if (bytes.size() < 8 + 8 + 8) return false;
    const std::string_view head(bytes.data(), 24);
    if (head.substr(0, 8) != signature) return false;
    if (head.substr(8, 8) != std::string_view("\0\0\0\x0dIHDR", 8)) return false;
    const auto nonzero = [](std::string_view four) {
        return std::any_of(four.begin(), four.end(), [](char c) { return c != '\0'; });
    };
    return nonzero(head.substr(16, 4)) && nonzero(head.substr(20, 4));
}

std::string wm_class_for_main_class(std::string_view main_class) {
    std::string wm_class(main_class);
    std::replace(wm_class.begin(), wm_class.end(), '/', '-');
    std::replace(wm_class.begin(), wm_class.end(), '.', '-');
    return wm_class;
}

bool is_known_category(std::string_view category) {
    if (category.size() > 2 && category.starts_with("X-"))
        return std::all_of(category.begin(), category.end(), [](char c) { return is_id_byte(c); });
    return std::find(std::begin(registered_categories), std::end(registered_categories), category) !=
           std::end(registered_categories);
}

std::string desktop_file_name(std::string_view bundle_identifier) {
    std::string name;
    for (const char c : bundle_identifier) name += is_id_byte(c) ? c : '_';
    if (name.empty()) name = "kestrova-application";
    return name + ".desktop";
}

std::string desktop_entry_text(const DesktopEntryFields& fields) {
    const std::string executable = fields.executable.string();
    const std::string bundle = fields.bundle.string();
    check_value(fields.name, "the application's name (CFBundleName)", hint_rename);
    check_value(executable, "the bundle's path", hint_move_bundle);
    check_value(bundle, "the bundle's path", hint_move_bundle);
    check_value(fields.icon, "the icon's path", hint_move_bundle);
    check_value(fields.wm_class, "the window class", "give another --wm-class");

    std::string out = "[Desktop Entry]\nType=Application\nVersion=1.4\n";
    out += "Name=" + desktop_entry_escape(fields.name) + "\n";
    // Exec is unescaped as a string first and split by its quoting rules second, so the quoting
    // is applied first here and the string escaping over it.
    out += "Exec=" + sparkle::desktop_exec_value(executable, fields.mime_types.empty() ? "%U" : "%F") + "\n";
    // A bundle moved or deleted hides its entry instead of leaving one that does nothing.
    out += "TryExec=" + desktop_entry_escape(executable) + "\n";
    out += "Icon=" + desktop_entry_escape(fields.icon) + "\n";
    out += std::string("Terminal=") + (fields.terminal ? "true" : "false") + "\n";
    if (!fields.categories.empty()) {
        out += "Categories=";
        for (const auto& category : fields.categories) out += category + ";";
        out += "\n";
    }
    if (!fields.wm_class.empty()) out += "StartupWMClass=" + desktop_entry_escape(fields.wm_class) + "\n";
    if (fields.comment) {
        check_value(*fields.comment, "the --comment", "give another --comment");
        out += "Comment=" + desktop_entry_escape(*fields.comment) + "\n";
    }
    // Lists end each value with ';', which a value itself writes as "\;".
    const auto list = [&](std::string_view key, const std::vector<std::string>& values, std::string_view what) {
        if (values.empty()) return;
        out += key;
        out += '=';
        for (const auto& value : values) {
            check_value(value, what, "give another one");
            for (const char c : desktop_entry_escape(value)) {
                if (c == ';') out += '\\';
                out += c;
            }
            out += ';';
        }
        out += '\n';
    };
    list("MimeType", fields.mime_types, "a --mime-type");
    list("Keywords", fields.keywords, "a keyword");
    out += std::string(bundle_key) + "=" + desktop_entry_escape(bundle) + "\n";
    return out;
}

fs::path default_applications_directory(const char* xdg_data_home, const char* home) {
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    if (xdg_data_home != nullptr && xdg_data_home[0] == '/') return fs::path(xdg_data_home) / "applications";
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".local/share/applications";
    throw PackError(std::string(msg_no_home));
}

namespace {

// The bundle's launchers that get an entry: every GUI one, the bundle's own first, then the others
// by name; the bundle's own alone when none is a GUI one (a console application's entry opens a
// terminal).
std::vector<BundleLauncher> launchers_with_entries(const fs::path& macos, const std::string& main_executable) {
    const fs::path main_path = macos / main_executable;
    std::error_code ec;
    if (!fs::is_regular_file(main_path, ec) || ::access(main_path.c_str(), X_OK) != 0)
        throw PackError(fill(msg_no_executable, {main_path.string()}));
    const auto main = read_bundle_launcher(main_path);
    if (!main) throw PackError(fill(msg_no_executable, {main_path.string()}));
    std::vector<fs::path> others;
    for (fs::directory_iterator it(macos, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path path = it->path();
        if (path.filename() != main_executable && it->is_regular_file(ec) && ::access(path.c_str(), X_OK) == 0)
            others.push_back(path);
    }
    std::sort(others.begin(), others.end());
    std::vector<BundleLauncher> gui;
    if (!main->console) gui.push_back(*main);
    for (const auto& path : others)
        if (const auto launcher = read_bundle_launcher(path); launcher && !launcher->console) gui.push_back(*launcher);
    if (gui.empty()) gui.push_back(*main);
    return gui;
}

// The types the mime database does not know yet, checked against the definition that must define
// them; nothing to install when every type is known.
std::optional<fs::path> definition_to_install(const DesktopEntryRequest& request) {
    std::vector<std::string> unknown;
    for (const auto& type : request.mime_types) {
        if (!is_media_type(type)) throw PackError(fill(msg_bad_mime_type, {type}));
        if (!is_known_mime_type(type, request.mime_data_directories)) unknown.push_back(type);
    }
    if (unknown.empty()) {
        if (request.mime_definition) throw PackError(std::string(msg_definition_unused));
        return std::nullopt;
    }
    if (!request.mime_definition) throw PackError(fill(msg_unknown_mime_type, {unknown.front()}));
    const auto defined = mime_types_defined_in(*request.mime_definition);
    for (const auto& type : unknown)
        if (std::find(defined.begin(), defined.end(), type) == defined.end())
            throw PackError(fill(msg_definition_lacks, {request.mime_definition->string(), type, type}));
    return request.mime_definition;
}

void refuse_foreign_entry(const fs::path& target) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec))) return;
    std::vector<char> bytes;
    try {
        bytes = read_file(target);
    } catch (const PackError&) {
    }
    if (!bundle_of_entry(std::string_view(bytes.data(), bytes.size())))
        throw PackError(fill(msg_foreign_entry, {target.string()}));
}

}  // namespace

std::optional<BundleLauncher> read_bundle_launcher(const fs::path& executable) {
    std::vector<char> image;
    try {
        image = read_file(executable);
        const std::size_t offset = find_burned_area(image);
        const BurnedInData record(std::span<const char>(image.data() + offset, reserved_area_size));
        return BundleLauncher{executable.filename().string(), record.main_class, record.console};
    } catch (const std::exception&) {
        return std::nullopt;  // not a launcher the tool burned
    }
}

DesktopEntryResult write_desktop_entry(const DesktopEntryRequest& request) {
    const fs::path bundle = normal_bundle_path(request.bundle);
    const BundleFacts facts = read_info_plist(bundle);
    const auto launchers = launchers_with_entries(kestrova::bundle_layout::executables_of(bundle), facts.executable);
    const fs::path runtime = kestrova::bundle_layout::runtime_home_of(bundle);
    std::error_code ec;
    if (!fs::is_regular_file(runtime / "lib/server/libjvm.so", ec))
        throw PackError(fill(msg_no_runtime, {runtime.string()}));
    for (const auto& keyword : request.keywords)
        if (keyword.empty()) throw PackError(fill(msg_bad_keyword, {keyword}));
    const auto definition = definition_to_install(request);

    DesktopEntryResult result;
    if (fs::is_symlink(runtime, ec))
        result.notes.push_back(fill(msg_linked_runtime, {fs::read_symlink(runtime, ec).string()}));
    // Where the entries point: the bundle as read, or where its package installs it.
    const fs::path installed = request.installed_bundle ? *request.installed_bundle : bundle;
    DesktopEntryFields fields;
    fields.bundle = installed;
    fields.categories = request.categories;
    fields.mime_types = request.mime_types;
    fields.comment = request.comment;
    fields.keywords = request.keywords;
    if (facts.icon_file && !facts.icon_file->empty()) {
        const fs::path icon = kestrova::bundle_layout::resources_of(bundle) / *facts.icon_file;
        std::vector<char> bytes;
        try {
            bytes = read_file(icon);
        } catch (const PackError&) {
        }
        if (!is_png(bytes)) throw PackError(fill(msg_bad_icon, {icon.string()}));
        fields.icon = request.icon_name
                          ? *request.icon_name
                          : (kestrova::bundle_layout::resources_of(installed) / *facts.icon_file).string();
    } else {
        // The icon theme's generic one, so the menu does not show a blank.
        fields.icon = "application-x-executable";
    }
    std::vector<std::pair<fs::path, std::string>> written;  // (entry, text)
    for (const auto& launcher : launchers) {
        const bool main = launcher.name == facts.executable;
        fields.name = main ? facts.name : launcher.name;
        fields.executable = kestrova::bundle_layout::executables_of(installed) / launcher.name;
        fields.terminal = launcher.console;
        fields.wm_class = main && request.wm_class ? *request.wm_class : wm_class_for_main_class(launcher.main_class);
        const std::string id = main ? facts.identifier : facts.identifier + "." + launcher.name;
        written.emplace_back(request.directory / desktop_file_name(id), desktop_entry_text(fields));
        refuse_foreign_entry(written.back().first);
    }

    fs::create_directories(request.directory, ec);
    if (ec) throw PackError(fill(msg_cannot_make_dir, {request.directory.string(), ec.message()}));
    if (definition) {
        // The database beside the applications directory: DIR is DATA/applications, the user's own
        // types live in DATA/mime/packages.
        const fs::path mime = request.directory.parent_path() / "mime";
        const fs::path packages = mime / "packages";
        fs::create_directories(packages, ec);
        if (ec) throw PackError(fill(msg_cannot_make_dir, {packages.string(), ec.message()}));
        const auto bytes = read_file(*definition);
        std::string package = desktop_file_name(facts.identifier);
        package.replace(package.size() - std::string_view(".desktop").size(), std::string::npos, ".xml");
        result.mime_definition = packages / package;
        write_file_atomically(*result.mime_definition, bytes, 0644);
        ToolResult updated;
        updated.status = 0;
        if (request.update_mime_database) {
            try {
                updated = run_tool({"update-mime-database", mime.string()});
            } catch (const PackError&) {
                updated.status = 0;  // not installed: the desktop reads the package when it next updates
            }
        }
        if (updated.status != 0)
            result.notes.push_back(fill(msg_mime_database_failed, {first_line(updated.err), mime.string()}));
    }
    const auto previous = entries_of(installed, request.directory);
    for (const auto& [target, text] : written) {
        write_file_atomically(target, std::span<const char>(text.data(), text.size()), 0644);
        result.entries.push_back(target);
    }
    // One entry per command: those written under an identifier or a launcher the bundle no longer
    // has go.
    for (const auto& entry : previous)
        if (std::find(result.entries.begin(), result.entries.end(), entry) == result.entries.end()) remove_entry(entry);
    return result;
}

std::vector<fs::path> remove_desktop_entries(const fs::path& bundle, const fs::path& directory) {
    const fs::path normal = normal_bundle_path(bundle);
    auto found = entries_of(normal, directory);
    if (found.empty()) throw PackError(fill(msg_no_entry, {directory.string(), normal.string()}));
    for (const auto& entry : found) remove_entry(entry);
    return found;
}

}  // namespace kestrova::pack
