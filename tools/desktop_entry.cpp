#include "tools/desktop_entry.h"

#include <algorithm>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/desktop_integration.h"
#include "kestrova/info_plist_keys.h"
#include "platform/property_list.h"
#include "tools/jlink_runtime.h"
#include "tools/mime_types.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

// --- Messages -----------------------------------------------------------------------------------

constexpr std::string_view msg_no_home =
    "cannot find the applications directory: neither XDG_DATA_HOME (absolute) nor HOME is set; pass --dir DIR";
constexpr std::string_view msg_no_plist =
    "\"{}\" is not a bundle made by kestrova-pack bundle: no readable Contents/Info.plist with "
    "CFBundleExecutable; name the NAME.app directory";
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

}  // namespace

bool is_known_category(std::string_view category) {
    if (category.size() > 2 && category.starts_with("X-"))
        return std::all_of(category.begin(), category.end(), [](char c) { return is_id_byte(c); });
    return std::find(std::begin(registered_categories), std::end(registered_categories), category) !=
           std::end(registered_categories);
}

fs::path default_applications_directory(const char* xdg_data_home, const char* home) {
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    if (xdg_data_home != nullptr && xdg_data_home[0] == '/') return fs::path(xdg_data_home) / "applications";
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".local/share/applications";
    throw PackError(std::string(msg_no_home));
}

DesktopEntryResult write_desktop_entry(const DesktopEntryRequest& request) {
    const fs::path bundle = freedesktop::entry_bundle_path(request.bundle);
    // Read with the launcher's own Info.plist reader, so the entry sees the values the launcher sees.
    const fs::path plist_path = kestrova::bundle_layout::info_plist_of(bundle);
    std::error_code ec;
    if (!fs::is_regular_file(plist_path, ec)) throw PackError(fill(msg_no_plist, {bundle.string()}));
    const auto info = platform::read_info_dictionary(plist_path.string());
    freedesktop::MenuEntryRequest entries;
    entries.bundle = bundle;
    entries.info = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        if (it != info.end() && !(key == info_keys::bundle_identifier && it->second.empty())) return it->second;
        // The identifier the bundle command gives a bundle named so.
        if (key == info_keys::bundle_identifier) {
            const auto name = info.find(info_keys::bundle_name);
            return default_bundle_identifier(name != info.end() && !name->second.empty() ? name->second
                                                                                         : bundle.stem().string());
        }
        return std::nullopt;
    };
    entries.directory = request.directory;
    // A bundle made with --desktop-integration keeps its menu categories and file types (and the
    // definition of the types this system may not know); they hold unless the caller gives its own.
    DesktopEntryRequest chosen = request;
    const auto stored = [&](std::string_view key) {
        const auto it = info.find(key);
        return it == info.end() ? std::vector<std::string>{} : split_list(it->second, ';');
    };
    if (chosen.categories.empty()) chosen.categories = stored(info_keys::desktop_categories);
    if (chosen.mime_types.empty() && !chosen.mime_definition) {
        chosen.mime_types = stored(info_keys::desktop_mime_types);
        const fs::path definition = kestrova::bundle_layout::resources_of(bundle) /
                                    std::string(kestrova::desktop_mime_definition_file);
        const bool all_known = std::all_of(chosen.mime_types.begin(), chosen.mime_types.end(), [&](const auto& type) {
            return is_known_mime_type(type, chosen.mime_data_directories);
        });
        if (!all_known && fs::is_regular_file(definition, ec)) chosen.mime_definition = definition;
    }
    entries.categories = chosen.categories;
    entries.wm_class = request.wm_class;
    entries.mime_types = chosen.mime_types;
    entries.mime_definition = definition_to_install(chosen);
    entries.comment = request.comment;
    entries.keywords = request.keywords;
    entries.installed_bundle = request.installed_bundle;
    entries.icon_name = request.icon_name;
    if (request.update_mime_database)
        entries.update_mime_database = [](const fs::path& mime) -> std::optional<std::string> {
            try {
                const auto updated = run_tool({"update-mime-database", mime.string()});
                if (updated.status != 0) return first_line(updated.err);
            } catch (const PackError&) {
                // Not installed: the desktop reads the package when it next updates.
            }
            return std::nullopt;
        };
    try {
        return freedesktop::write_menu_entries(entries);
    } catch (const freedesktop::MenuEntryError& e) {
        throw PackError(e.what());
    }
}

std::vector<fs::path> remove_desktop_entries(const fs::path& bundle, const fs::path& directory) {
    try {
        return freedesktop::remove_menu_entries(bundle, directory);
    } catch (const freedesktop::MenuEntryError& e) {
        throw PackError(e.what());
    }
}

}  // namespace kestrova::pack
