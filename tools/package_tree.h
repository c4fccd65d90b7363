// What a system package of a bundle installs, the same for every package format: the bundle under
// /usr/lib/PACKAGE/, owned by root and read-only to users, marked as installed by the package
// manager; one menu entry per GUI command with its icon in the icon theme and its file types; a
// link in /usr/bin for each console command; and the copyright notice. The tree is staged in a
// directory that the format's own tool (dpkg-deb, rpmbuild) then archives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// What the publisher asks of a package (kestrova-pack deb and rpm take the same options).
struct PackageRequest {
    std::filesystem::path bundle;   // NAME.app
    std::filesystem::path out_dir;  // where the package goes
    std::optional<std::string> package;
    std::optional<std::string> maintainer;  // "NAME <EMAIL>"
    std::optional<std::string> description;
    std::optional<std::string> homepage;
    std::vector<std::string> depends;  // more dependencies, in the format's own syntax
    std::vector<std::string> categories;
    std::vector<std::string> mime_types;
    std::optional<std::filesystem::path> mime_definition;
    std::optional<std::string> comment;
    std::optional<std::int64_t> source_date_epoch;
};

// The bundle as a package sees it.
struct PackageFacts {
    std::string package;         // the package's name
    std::string name;            // NAME of NAME.app
    std::string bundle_version;  // CFBundleVersion
    std::string identifier;      // CFBundleIdentifier
    std::string summary;         // one line
    std::string maintainer;
    std::optional<std::string> homepage;
    std::filesystem::path out_dir;                   // --out, absolute: the tools run in folders of their own
    std::filesystem::path installed_bundle;          // /usr/lib/PACKAGE/NAME.app
    std::optional<std::filesystem::path> java_home;  // the JDK a linked runtime links to
    bool has_updater = false;                        // Contents/Frameworks holds the update framework
    bool has_gui_command = false;
};

// A package name from a bundle name: lowercase ASCII letters, digits and '+', '-', '.', other bytes
// made '-', starting with a letter or digit, at least two bytes long (Debian's rule, which rpm
// accepts too). Throws PackError when nothing of the name is left.
std::string package_name_for(std::string_view bundle_name);

// Whether `name` is a valid package name by the rule above.
bool is_valid_package_name(std::string_view name);

// The width and height a PNG image's header gives; nothing for bytes that are not a PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(std::span<const char> bytes);

// Checks the request against the bundle and reads what the package needs. Throws PackError.
PackageFacts read_package_facts(const PackageRequest& request);

struct StagedTree {
    std::vector<std::filesystem::path> elf_files;  // the bundle's own ELF files in the tree (not a linked JDK's)
    std::uint64_t installed_kib = 0;               // the tree's size as dpkg counts it
};

// Stages the package's files under `root` (root/usr/...). A linked runtime stays an absolute link
// so the dependency tools can follow it; relink_runtime makes it the link the package installs.
// Throws PackError.
StagedTree stage_package_tree(const PackageRequest& request, const PackageFacts& facts,
                              const std::filesystem::path& root);

// Makes a linked runtime in the staged tree a relative link, as links inside /usr must be.
void relink_runtime(const PackageFacts& facts, const std::filesystem::path& root);

// Runs one of the system's packaging tools; a PackError naming the Debian package that has it when
// it is not installed.
struct ToolResult;
ToolResult run_packaging_tool(const std::vector<std::string>& argv, std::string_view debian_package,
                              const std::optional<std::filesystem::path>& directory = std::nullopt);

// The package that installed `path` on this system (dpkg-query -S); nothing when none did.
std::optional<std::string> owning_package(const std::filesystem::path& path);

// The package name of dpkg-query -S's first line ("libcurl4:amd64: /usr/lib/..." gives "libcurl4").
std::optional<std::string> package_of_search_line(std::string_view output);

// The libraries (file names) the launcher and its update framework open on first use, which no
// tool that reads ELF headers finds.
std::vector<std::string> libraries_opened_on_first_use();

// The packages that hold those libraries on this system.
std::vector<std::string> packages_of_libraries_opened_on_first_use();

}  // namespace kestrova::pack
