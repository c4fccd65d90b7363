#include "tools/package_tree.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/update_settings.h"
#include "platform/property_list.h"
#include "platform/shared_library.h"
#include "tools/desktop_entry.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_not_a_bundle =
    "\"{}\" is not an application bundle (a NAME.app directory with Contents/Info.plist); name one";
constexpr std::string_view msg_out_not_dir = "--out \"{}\" is not a directory; name an existing directory";
constexpr std::string_view msg_no_version =
    "the bundle has no CFBundleVersion, which the package's version is made from; bundle it again with "
    "--bundle-version";
constexpr std::string_view msg_no_package_name =
    "no package name can be made from \"{}\"; give one with --package (lowercase letters, digits, '+', '-', '.')";
constexpr std::string_view msg_bad_package_name =
    "--package \"{}\" is not a package name: use at least two lowercase letters, digits, '+', '-' or '.', "
    "starting with a letter or digit";
constexpr std::string_view msg_no_maintainer = "a package needs a maintainer; give --maintainer \"NAME <EMAIL>\"";
constexpr std::string_view msg_bad_maintainer = "--maintainer \"{}\" is not of the form \"NAME <EMAIL>\"; write it so";
constexpr std::string_view msg_one_line = "{} \"{}\" must be one line of text; shorten it";
constexpr std::string_view msg_no_runtime =
    "the bundle has no Java runtime at \"{}\"; bundle it again with --runtime, --copy-runtime or --jlink";
constexpr std::string_view msg_unowned_runtime =
    "the bundle's runtime links to {}, which no Debian package installed, so the package could not depend on "
    "it; bundle again with --copy-runtime or --jlink so the package carries its runtime";
constexpr std::string_view msg_cannot_stage =
    "cannot stage \"{}\" for the package: {}; check the bundle and the free space in --out";
constexpr std::string_view msg_bad_plist =
    "the bundle's Info.plist cannot be read as a property list; bundle the application again";
constexpr std::string_view msg_strip_failed = "strip could not strip \"{}\": {}; check the bundle's files";
constexpr std::string_view msg_tool_missing = "{} is not installed; install Debian's {} package (apt install {})";

bool is_package_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool is_alnum_lower(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

void check_one_line(std::string_view value, std::string_view what) {
    if (value.empty() || value.find_first_of("\r\n") != std::string_view::npos)
        throw PackError(fill(msg_one_line, {what, value}));
}

// Info.plist gets the key that tells the updater this copy is the package manager's to replace.
void mark_package_managed(const fs::path& plist_path) {
    const auto bytes = read_file(plist_path);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    const std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) throw PackError(std::string(msg_bad_plist));
    plist_dict_set_item(root, kestrova::info_keys::package_managed, plist_new_bool(1));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const std::unique_ptr<char, decltype(&plist_to_xml_free)> text(xml, &plist_to_xml_free);
    if (xml == nullptr) throw PackError(std::string(msg_bad_plist));
    write_file_atomically(plist_path, std::span<const char>(xml, length), 0644);
}

bool is_shared_library_name(const std::string& name) {
    return name.ends_with(".so") || name.find(".so.") != std::string::npos;
}

// Owned by root (the archive tools say so), writable by no one else: what is executable for its
// owner stays executable for all, but for shared libraries, which are loaded, never run.
void make_read_only_to_users(const fs::path& top) {
    std::error_code ec;
    const auto apply = [&](const fs::path& path) {
        const auto status = fs::symlink_status(path, ec);
        if (fs::is_symlink(status)) return;
        const bool executable = fs::is_directory(status) ||
                                ((status.permissions() & fs::perms::owner_exec) != fs::perms::none &&
                                 !is_shared_library_name(path.filename().string()));
        fs::permissions(path, executable ? fs::perms(0755) : fs::perms(0644), ec);
    };
    apply(top);
    for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec)) apply(it->path());
}

bool is_elf(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec))) return false;
    char head[4] = {};
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    return got == 4 && std::string_view(head, 4) == std::string_view(
                                                        "\x7f"
                                                        "ELF",
                                                        4);
}

// dpkg's Installed-Size: a KiB per started KiB of each file, one for every other entry.
std::uint64_t installed_kib(const fs::path& root) {
    std::uint64_t kib = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const auto status = it->symlink_status(ec);
        if (fs::is_regular_file(status))
            kib += (it->file_size(ec) + 1023) / 1024;
        else
            kib += 1;
    }
    return kib;
}

// A link at the installed path `link` to the installed path `target`, made inside `root`.
void symlink_relative(const fs::path& target, const fs::path& link, const fs::path& root) {
    const fs::path staged = root / link.relative_path();
    fs::create_directories(staged.parent_path());
    fs::create_symlink(target.lexically_relative(link.parent_path()), staged);
}

}  // namespace

std::string package_name_for(std::string_view bundle_name) {
    std::string name;
    for (const char c : bundle_name) {
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        name += is_package_byte(lower) ? lower : '-';
    }
    const auto first = std::find_if(name.begin(), name.end(), is_alnum_lower);
    name.erase(name.begin(), first);
    while (!name.empty() && !is_alnum_lower(name.back())) name.pop_back();
    if (name.size() < 2) throw PackError(fill(msg_no_package_name, {bundle_name}));
    return name;
}

bool is_valid_package_name(std::string_view name) {
    return name.size() >= 2 && is_alnum_lower(name.front()) && std::all_of(name.begin(), name.end(), is_package_byte);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(std::span<const char> bytes) {
    if (!is_png(bytes)) return std::nullopt;
    const auto big_endian = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return std::make_pair(big_endian(16), big_endian(20));
}

std::optional<std::string> package_of_search_line(std::string_view output) {
    const std::string_view line = output.substr(0, output.find('\n'));
    // "PACKAGE[:ARCH][, PACKAGE...]: PATH"; a diversion's line starts "diversion by".
    const std::size_t end = line.find(": ");
    if (end == std::string_view::npos || line.starts_with("diversion ")) return std::nullopt;
    std::string_view package = line.substr(0, end);
    package = package.substr(0, package.find(','));
    package = package.substr(0, package.find(':'));
    if (!is_valid_package_name(package)) return std::nullopt;
    return std::string(package);
}

ToolResult run_packaging_tool(const std::vector<std::string>& argv, std::string_view debian_package,
                              const std::optional<fs::path>& directory) {
    try {
        return run_tool(argv, directory);
    } catch (const PackError&) {
        throw PackError(fill(msg_tool_missing, {argv.front(), debian_package, debian_package}));
    }
}

std::optional<std::string> owning_package(const fs::path& path) {
    const ToolResult found = run_packaging_tool({"dpkg-query", "-S", path.string()}, "dpkg");
    if (found.status != 0) return std::nullopt;
    return package_of_search_line(found.out);
}

std::vector<std::string> libraries_opened_on_first_use() {
    // libcurl is opened by the URL loading of the launcher and the framework alike.
    return {"libcurl.so.4", platform::library_file(platform::LoadableLibrary::crypto).file_name,
            platform::library_file(platform::LoadableLibrary::archive).file_name};
}

std::vector<std::string> packages_of_libraries_opened_on_first_use() {
    std::vector<std::string> packages;
    for (const auto& name : libraries_opened_on_first_use()) {
        const ToolResult found = run_packaging_tool({"dpkg-query", "-S", "*/" + name}, "dpkg");
        const auto package = found.status == 0 ? package_of_search_line(found.out) : std::nullopt;
        if (package && std::find(packages.begin(), packages.end(), *package) == packages.end())
            packages.push_back(*package);
    }
    return packages;
}

PackageFacts read_package_facts(const PackageRequest& request) {
    std::error_code ec;
    if (!fs::is_directory(request.out_dir, ec)) throw PackError(fill(msg_out_not_dir, {request.out_dir.string()}));
    fs::path bundle = request.bundle.lexically_normal();
    if (!bundle.has_filename()) bundle = bundle.parent_path();
    const std::string file = bundle.filename().string();
    const fs::path plist = kestrova::bundle_layout::info_plist_of(bundle);
    if (file.size() <= 4 || !file.ends_with(".app") || !fs::is_regular_file(plist, ec))
        throw PackError(fill(msg_not_a_bundle, {request.bundle.string()}));
    const auto info = platform::read_info_dictionary(plist.string());
    const auto lookup = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    PackageFacts facts;
    facts.out_dir = fs::absolute(request.out_dir);
    facts.name = file.substr(0, file.size() - 4);
    const auto version = lookup(info_keys::bundle_version);
    if (!version || version->empty()) throw PackError(std::string(msg_no_version));
    facts.bundle_version = *version;
    const std::string display_name = lookup(info_keys::bundle_name).value_or(facts.name);
    facts.identifier = lookup(info_keys::bundle_identifier).value_or(default_bundle_identifier(display_name));
    if (request.package) {
        if (!is_valid_package_name(*request.package)) throw PackError(fill(msg_bad_package_name, {*request.package}));
        facts.package = *request.package;
    } else {
        facts.package = package_name_for(display_name);
    }
    if (!request.maintainer) throw PackError(std::string(msg_no_maintainer));
    const std::string& maintainer = *request.maintainer;
    check_one_line(maintainer, "--maintainer");
    const std::size_t open = maintainer.find(" <");
    if (open == std::string::npos || open == 0 || !maintainer.ends_with('>') ||
        maintainer.find('@', open) == std::string::npos)
        throw PackError(fill(msg_bad_maintainer, {maintainer}));
    facts.maintainer = maintainer;
    // Debian's synopsis must not start with the package's name.
    facts.summary = request.description.value_or("Java desktop application " + display_name);
    check_one_line(facts.summary, "--description");
    if (request.homepage) check_one_line(*request.homepage, "--homepage");
    facts.homepage = request.homepage;
    facts.installed_bundle = fs::path("/usr/lib") / facts.package / file;

    const fs::path runtime = kestrova::bundle_layout::runtime_home_of(bundle);
    if (!fs::is_regular_file(runtime / "lib/server/libjvm.so", ec))
        throw PackError(fill(msg_no_runtime, {runtime.string()}));
    if (fs::is_symlink(runtime, ec)) {
        facts.java_home = fs::canonical(runtime, ec);
        if (!owning_package(*facts.java_home / "lib/server/libjvm.so"))
            throw PackError(fill(msg_unowned_runtime, {facts.java_home->string()}));
    }
    facts.has_updater =
        fs::exists(kestrova::bundle_layout::frameworks_of(bundle) / platform::update_framework_file_name(), ec);
    const fs::path macos = kestrova::bundle_layout::executables_of(bundle);
    for (fs::directory_iterator it(macos, ec), end; !ec && it != end; it.increment(ec))
        if (const auto launcher = read_bundle_launcher(it->path()); launcher && !launcher->console)
            facts.has_gui_command = true;
    return facts;
}

StagedTree stage_package_tree(const PackageRequest& request, const PackageFacts& facts, const fs::path& root) {
    fs::path bundle = request.bundle.lexically_normal();
    if (!bundle.has_filename()) bundle = bundle.parent_path();
    const fs::path staged = root / facts.installed_bundle.relative_path();
    try {
        fs::create_directories(staged.parent_path());
        fs::copy(bundle, staged, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        // A start of the publisher's copy leaves its lock file; the installed copy makes none (root
        // owns it, so no user's start may lock it) and the package does not carry it.
        fs::remove(staged / kestrova::bundle_layout::installation_lock);
        make_read_only_to_users(staged);
        mark_package_managed(kestrova::bundle_layout::info_plist_of(staged));

        // The menu entries, as desktop-entry writes them, but naming the installed bundle.
        DesktopEntryRequest entries;
        entries.bundle = staged;
        entries.directory = root / "usr/share/applications";
        entries.categories = request.categories;
        entries.mime_types = request.mime_types;
        entries.mime_definition = request.mime_definition;
        entries.mime_data_directories = {"/usr/share"};
        entries.comment = request.comment;
        entries.installed_bundle = facts.installed_bundle;
        entries.update_mime_database = false;
        const auto info = platform::read_info_dictionary(kestrova::bundle_layout::info_plist_of(staged).string());
        if (const auto icon = info.find(info_keys::bundle_icon_file); icon != info.end() && !icon->second.empty()) {
            const auto bytes = read_file(kestrova::bundle_layout::resources_of(staged) / icon->second);
            if (const auto size = png_size(bytes)) {
                const fs::path themed = root / "usr/share/icons/hicolor" /
                                        (std::to_string(size->first) + "x" + std::to_string(size->second)) / "apps" /
                                        (facts.identifier + ".png");
                fs::create_directories(themed.parent_path());
                write_file_atomically(themed, bytes, 0644);
                entries.icon_name = facts.identifier;
            }
        }
        write_desktop_entry(entries);

        // Console commands are typed: each gets its name in /usr/bin.
        const fs::path macos = kestrova::bundle_layout::executables_of(staged);
        std::vector<fs::path> launchers;
        for (fs::directory_iterator it(macos); it != fs::directory_iterator(); ++it) launchers.push_back(it->path());
        std::sort(launchers.begin(), launchers.end());
        for (const auto& path : launchers) {
            const auto launcher = read_bundle_launcher(path);
            if (!launcher || !launcher->console) continue;
            symlink_relative(kestrova::bundle_layout::executables_of(facts.installed_bundle) / launcher->name,
                             fs::path("/usr/bin") / launcher->name, root);
        }

        const fs::path doc = root / "usr/share/doc" / facts.package;
        fs::create_directories(doc);
        const std::time_t now = request.source_date_epoch ? static_cast<std::time_t>(*request.source_date_epoch)
                                                          : std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        const std::string copyright =
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
            "Upstream-Name: " +
            facts.name + "\n\nFiles: *\nCopyright: " + std::to_string(utc.tm_year + 1900) + " " + facts.maintainer +
            "\nLicense: see the application's own license\n";
        write_file_atomically(doc / "copyright", std::span<const char>(copyright.data(), copyright.size()), 0644);
        // Every directory the package makes is the system's: readable, not writable, by users.
        make_read_only_to_users(root);
    } catch (const fs::filesystem_error& e) {
        throw PackError(fill(msg_cannot_stage, {e.path1().string(), e.code().message()}));
    }

    StagedTree tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(staged, ec), end; !ec && it != end; it.increment(ec))
        if (is_elf(it->path())) tree.elf_files.push_back(it->path());
    std::sort(tree.elf_files.begin(), tree.elf_files.end());
    // The launchers and the framework lose their symbols, as Debian's own binaries do (the burned
    // record is read-only data, which strip keeps); a carried runtime is left as jlink made it.
    const fs::path runtime = kestrova::bundle_layout::runtime_home_of(staged).parent_path().parent_path();
    for (const auto& file : tree.elf_files) {
        if (file.string().starts_with(runtime.string() + "/")) continue;
        const bool library = is_shared_library_name(file.filename().string());
        std::vector<std::string> argv = {"strip", "--remove-section=.comment", "--remove-section=.note"};
        if (library) argv.push_back("--strip-unneeded");
        argv.push_back(file.string());
        const ToolResult stripped = run_packaging_tool(argv, "binutils");
        if (stripped.status != 0) throw PackError(fill(msg_strip_failed, {file.string(), first_line(stripped.err)}));
    }
    tree.installed_kib = installed_kib(root);
    return tree;
}

void relink_runtime(const PackageFacts& facts, const fs::path& root) {
    if (!facts.java_home) return;
    const fs::path link = root / kestrova::bundle_layout::runtime_home_of(facts.installed_bundle).relative_path();
    const fs::path installed_link = kestrova::bundle_layout::runtime_home_of(facts.installed_bundle);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(facts.java_home->lexically_relative(installed_link.parent_path()), link, ec);
    if (ec) throw PackError(fill(msg_cannot_stage, {root.string(), ec.message()}));
}

}  // namespace kestrova::pack
