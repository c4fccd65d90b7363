#include "freedesktop/menu_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "freedesktop/desktop_entries.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/burned_in_data.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"
#include "kestrova/utf8.h"

namespace kestrova::freedesktop {

namespace fs = std::filesystem;

namespace {

// --- Messages -----------------------------------------------------------------------------------

constexpr std::string_view msg_not_utf8 = "{} is not valid UTF-8, which a desktop entry needs; {}";
constexpr std::string_view msg_control = "{} contains a control character, which a desktop entry cannot carry; {}";
constexpr std::string_view hint_move_bundle = "move the bundle to a path without it";
constexpr std::string_view hint_rename = "bundle the application again with another --name";
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
constexpr std::string_view msg_cannot_read = "cannot read \"{}\": {}; check that it exists and is readable";
constexpr std::string_view msg_cannot_write = "cannot write \"{}\": {}; check the permissions and the free space there";
constexpr std::string_view msg_bad_keyword = "--keywords \"{}\" holds an empty keyword; separate keywords by ','";
constexpr std::string_view msg_mime_database_failed =
    "warning: update-mime-database failed ({}), so the desktop may not know the new types until it runs; "
    "run update-mime-database {}";
constexpr std::string_view msg_linked_runtime =
    "note: the bundle's runtime is a link to {}, so its entries stop working when that JDK is removed or "
    "upgraded away; bundle with --copy-runtime or --jlink for entries that last";

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    return fill_placeholders(pattern, values, nullptr);
}

// An entry is a few hundred bytes; something far larger is not one of ours.
constexpr std::uintmax_t max_entry_bytes = 1u << 20;

std::vector<char> read_whole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MenuEntryError(fill(msg_cannot_read, {path.string(), std::strerror(errno)}));
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw MenuEntryError(fill(msg_cannot_read, {path.string(), "a read error"}));
    return bytes;
}

// Written aside and renamed over the target, so that a menu never reads half an entry.
void write_atomically(const fs::path& target, std::span<const char> bytes) {
    fs::path aside = target;
    aside += ".kestrova-new";
    {
        FileDescriptor fd(::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd.get() < 0) throw MenuEntryError(fill(msg_cannot_write, {target.string(), std::strerror(errno)}));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = errno;
                ::unlink(aside.c_str());
                throw MenuEntryError(fill(msg_cannot_write, {target.string(), std::strerror(error)}));
            }
            done += static_cast<std::size_t>(n);
        }
        // Whatever the umask: the desktop and the user's other programs read the entry.
        ::fchmod(fd.get(), 0644);
    }
    if (::rename(aside.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(aside.c_str());
        throw MenuEntryError(fill(msg_cannot_write, {target.string(), std::strerror(error)}));
    }
}

bool is_id_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// Refuses what no desktop entry value can hold.
void check_value(std::string_view value, std::string_view what, std::string_view hint) {
    if (sanitize_utf8(value) != value) throw MenuEntryError(fill(msg_not_utf8, {what, hint}));
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) throw MenuEntryError(fill(msg_control, {what, hint}));
    }
}

struct BundleFacts {
    std::string executable;
    std::string name;
    std::string identifier;
    std::optional<std::string> icon_file;
};

BundleFacts read_facts(const fs::path& bundle, const InfoValues& info) {
    BundleFacts facts;
    const auto executable = info(info_keys::bundle_executable);
    if (!executable || executable->empty() || executable->find('/') != std::string::npos)
        throw MenuEntryError(fill(msg_no_plist, {bundle.string()}));
    facts.executable = *executable;
    std::string fallback_name = bundle.stem().string();
    facts.name = info(info_keys::bundle_name).value_or(fallback_name);
    if (facts.name.empty()) facts.name = fallback_name;
    // Empty gives desktop_file_name's own fallback; the tool names every bundle it makes.
    facts.identifier = info(info_keys::bundle_identifier).value_or("");
    facts.icon_file = info(info_keys::bundle_icon_file);
    return facts;
}

void remove_entry(const fs::path& entry) {
    std::error_code ec;
    if (!fs::remove(entry, ec) && ec) throw MenuEntryError(fill(msg_cannot_remove, {entry.string(), ec.message()}));
}

// The bundle's launchers that get an entry: every GUI one, the bundle's own first, then the others
// by name; the bundle's own alone when none is a GUI one (a console application's entry opens a
// terminal).
std::vector<BundleLauncher> launchers_with_entries(const fs::path& macos, const std::string& main_executable) {
    const fs::path main_path = macos / main_executable;
    std::error_code ec;
    if (!fs::is_regular_file(main_path, ec) || ::access(main_path.c_str(), X_OK) != 0)
        throw MenuEntryError(fill(msg_no_executable, {main_path.string()}));
    const auto main = read_bundle_launcher(main_path);
    if (!main) throw MenuEntryError(fill(msg_no_executable, {main_path.string()}));
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

void refuse_foreign_entry(const fs::path& target) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec))) return;
    std::vector<char> bytes;
    try {
        bytes = read_whole(target);
    } catch (const MenuEntryError&) {
    }
    if (!bundle_of_desktop_entry(std::string_view(bytes.data(), bytes.size())))
        throw MenuEntryError(fill(msg_foreign_entry, {target.string()}));
}

}  // namespace

fs::path entry_bundle_path(const fs::path& bundle) {
    fs::path path = fs::absolute(bundle).lexically_normal();
    if (path.filename().empty() && path.has_parent_path() && path != path.root_path()) path = path.parent_path();
    return path;
}

std::vector<fs::path> menu_entries_of(const fs::path& bundle, const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code ec;
    if (!fs::exists(directory, ec)) return found;
    fs::directory_iterator it(directory, ec);
    if (ec) throw MenuEntryError(fill(msg_cannot_list, {directory.string(), ec.message()}));
    for (const auto& entry : it) {
        if (entry.path().extension() != ".desktop" || !entry.is_regular_file(ec)) continue;
        // An entry is a few hundred bytes; something far larger is not one of ours.
        if (entry.file_size(ec) > max_entry_bytes) continue;
        std::vector<char> bytes;
        try {
            bytes = read_whole(entry.path());
        } catch (const MenuEntryError&) {
            continue;  // unreadable: not one the tool could have written for this user
        }
        const auto owner = bundle_of_desktop_entry(std::string_view(bytes.data(), bytes.size()));
        if (owner && *owner == bundle) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

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
    out += "Exec=" + freedesktop::desktop_exec_value(executable, fields.mime_types.empty() ? "%U" : "%F") + "\n";
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
    out += std::string(desktop_bundle_key) + "=" + desktop_entry_escape(bundle) + "\n";
    return out;
}

std::optional<BundleLauncher> read_bundle_launcher(const fs::path& executable) {
    std::vector<char> image;
    try {
        image = read_whole(executable);
        const auto offsets = burned_area_offsets(image, 2);
        if (offsets.size() != 1) return std::nullopt;
        const BurnedInData record(std::span<const char>(image.data() + offsets.front(), reserved_area_size));
        return BundleLauncher{executable.filename().string(), record.main_class, record.console};
    } catch (const std::exception&) {
        return std::nullopt;  // not a launcher the tool burned
    }
}

MenuEntryResult write_menu_entries(const MenuEntryRequest& request) {
    const fs::path bundle = entry_bundle_path(request.bundle);
    const BundleFacts facts = read_facts(bundle, request.info);
    const auto launchers = launchers_with_entries(kestrova::bundle_layout::executables_of(bundle), facts.executable);
    const fs::path runtime = kestrova::bundle_layout::runtime_home_of(bundle);
    std::error_code ec;
    if (!fs::is_regular_file(runtime / "lib/server/libjvm.so", ec))
        throw MenuEntryError(fill(msg_no_runtime, {runtime.string()}));
    for (const auto& keyword : request.keywords)
        if (keyword.empty()) throw MenuEntryError(fill(msg_bad_keyword, {keyword}));
    const auto& definition = request.mime_definition;

    MenuEntryResult result;
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
            bytes = read_whole(icon);
        } catch (const MenuEntryError&) {
        }
        if (!is_png(bytes)) throw MenuEntryError(fill(msg_bad_icon, {icon.string()}));
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
    if (ec) throw MenuEntryError(fill(msg_cannot_make_dir, {request.directory.string(), ec.message()}));
    if (definition) {
        // The database beside the applications directory: DIR is DATA/applications, the user's own
        // types live in DATA/mime/packages.
        const fs::path mime = request.directory.parent_path() / "mime";
        const fs::path packages = mime / "packages";
        fs::create_directories(packages, ec);
        if (ec) throw MenuEntryError(fill(msg_cannot_make_dir, {packages.string(), ec.message()}));
        const auto bytes = read_whole(*definition);
        std::string package = desktop_file_name(facts.identifier);
        package.replace(package.size() - std::string_view(".desktop").size(), std::string::npos, ".xml");
        result.mime_definition = packages / package;
        write_atomically(*result.mime_definition, bytes);
        if (request.update_mime_database)
            if (const auto failed = request.update_mime_database(mime))
                result.notes.push_back(fill(msg_mime_database_failed, {*failed, mime.string()}));
    }
    const auto previous = menu_entries_of(installed, request.directory);
    for (const auto& [target, text] : written) {
        write_atomically(target, std::span<const char>(text.data(), text.size()));
        result.entries.push_back(target);
    }
    // One entry per command: those written under an identifier or a launcher the bundle no longer
    // has go.
    for (const auto& entry : previous)
        if (std::find(result.entries.begin(), result.entries.end(), entry) == result.entries.end()) remove_entry(entry);
    return result;
}

std::vector<fs::path> remove_menu_entries(const fs::path& bundle, const fs::path& directory) {
    const fs::path normal = entry_bundle_path(bundle);
    auto found = menu_entries_of(normal, directory);
    if (found.empty()) throw MenuEntryError(fill(msg_no_entry, {directory.string(), normal.string()}));
    for (const auto& entry : found) remove_entry(entry);
    return found;
}

}  // namespace kestrova::freedesktop
