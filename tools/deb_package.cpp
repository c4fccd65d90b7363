#include "tools/deb_package.h"

#include <algorithm>
#include <ctime>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_bad_version =
    "CFBundleVersion \"{}\" has no Debian version that orders as the updater orders it; bundle again with a "
    "--bundle-version of numbers between dots and at most a pre-release tag (1.2.3, 2.0b1)";
constexpr std::string_view msg_no_architecture = "dpkg --print-architecture failed ({}); check the dpkg installation";
constexpr std::string_view msg_shlibdeps_failed =
    "dpkg-shlibdeps could not work out the bundle's library dependencies: {}; check that the bundle's runtime is "
    "complete";
constexpr std::string_view msg_gzip_failed = "gzip failed ({}); check the free space in \"{}\"";
constexpr std::string_view msg_dpkg_deb_failed =
    "dpkg-deb could not build the package: {}; check the free space in \"{}\"";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string architecture() {
    const ToolResult result = run_packaging_tool({"dpkg", "--print-architecture"}, "dpkg");
    std::string arch = first_line(result.out);
    if (result.status != 0 || arch.empty()) throw PackError(fill(msg_no_architecture, {first_line(result.err)}));
    return arch;
}

std::string rfc2822_date(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

void write_text(const fs::path& path, const std::string& text) {
    write_file_atomically(path, std::span<const char>(text.data(), text.size()), 0644);
}

std::vector<std::string> shared_library_depends(const PackageFacts& facts, const StagedTree& tree,
                                                const fs::path& work) {
    if (tree.elf_files.empty()) return {};
    // dpkg-shlibdeps reads the package's name from debian/control in its working directory.
    fs::create_directories(work / "debian");
    write_text(work / "debian/control",
               "Source: " + facts.package + "\n\nPackage: " + facts.package + "\nArchitecture: any\n");
    std::vector<std::string> argv = {"dpkg-shlibdeps", "-O", "--ignore-missing-info"};
    // A carried runtime's libraries are the package's own; a linked one's come with its JDK package.
    for (const auto& file : tree.elf_files) {
        const fs::path dir = file.parent_path();
        if (dir.filename() == "server" || dir.filename() == "lib") argv.push_back("-l" + dir.string());
    }
    std::sort(argv.begin() + 3, argv.end());
    argv.erase(std::unique(argv.begin() + 3, argv.end()), argv.end());
    for (const auto& file : tree.elf_files) argv.push_back("-e" + file.string());
    const ToolResult result = run_packaging_tool(argv, "dpkg-dev", work);
    if (result.status != 0) throw PackError(fill(msg_shlibdeps_failed, {first_line(result.err)}));
    return shlibs_depends(result.out);
}

void add_unique(std::vector<std::string>& list, const std::string& item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

}  // namespace

std::string debian_version(std::string_view bundle_version) {
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < bundle_version.size() && is_digit(bundle_version[at])) ++at;
        return at > from;
    };
    bool valid = digits();
    while (valid && at < bundle_version.size() && bundle_version[at] == '.') {
        ++at;
        valid = digits();
    }
    const std::size_t release_end = at;
    if (valid && at < bundle_version.size()) {
        const std::size_t from = at;
        while (at < bundle_version.size() && is_letter(bundle_version[at])) ++at;
        valid = at > from;
        while (at < bundle_version.size() && is_digit(bundle_version[at])) ++at;
    }
    if (!valid || at != bundle_version.size()) throw PackError(fill(msg_bad_version, {bundle_version}));
    std::string version(bundle_version.substr(0, release_end));
    if (release_end < bundle_version.size()) version += "~" + std::string(bundle_version.substr(release_end));
    return version;
}

std::string deb_control_text(const DebControl& control) {
    std::string out = "Package: " + control.package + "\n";
    out += "Version: " + control.version + "\n";
    out += "Architecture: " + control.architecture + "\n";
    out += "Maintainer: " + control.maintainer + "\n";
    out += "Installed-Size: " + std::to_string(control.installed_size_kib) + "\n";
    if (!control.depends.empty()) {
        out += "Depends: ";
        for (std::size_t i = 0; i < control.depends.size(); ++i) out += (i ? ", " : "") + control.depends[i];
        out += "\n";
    }
    out += "Section: misc\nPriority: optional\n";
    if (control.homepage) out += "Homepage: " + *control.homepage + "\n";
    out += "Description: " + control.summary + "\n";
    out += " " + control.name + " with the Java runtime it runs on, as one application bundle. Updates\n";
    out += " come through the package manager.\n";
    return out;
}

std::vector<std::string> shlibs_depends(std::string_view output) {
    constexpr std::string_view key = "shlibs:Depends=";
    std::vector<std::string> depends;
    const std::size_t start = output.find(key);
    if (start == std::string_view::npos) return depends;
    std::string_view rest = output.substr(start + key.size());
    rest = rest.substr(0, rest.find('\n'));
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (!item.empty()) depends.emplace_back(item);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return depends;
}

fs::path make_deb(const PackageRequest& request) {
    const PackageFacts facts = read_package_facts(request);
    const std::string version = debian_version(facts.bundle_version);
    const std::string arch = architecture();

    TemporaryDirectory work(facts.out_dir, hidden_name(facts.out_dir / facts.package, ".deb-"));
    const fs::path root = work.path() / "root";
    const StagedTree tree = stage_package_tree(request, facts, root);

    DebControl control;
    control.package = facts.package;
    control.version = version;
    control.architecture = arch;
    control.maintainer = facts.maintainer;
    control.homepage = facts.homepage;
    control.summary = facts.summary;
    control.name = facts.name;
    // A linked runtime is the JDK package's: the one that holds the JVM, and for a GUI the one
    // that holds AWT's X11 toolkit.
    if (facts.java_home) {
        add_unique(control.depends, *owning_package(*facts.java_home / "lib/server/libjvm.so"));
        if (facts.has_gui_command)
            if (const auto awt = owning_package(*facts.java_home / "lib/libawt_xawt.so"))
                add_unique(control.depends, *awt);
    }
    for (const auto& depend : shared_library_depends(facts, tree, work.path() / "shlibs"))
        add_unique(control.depends, depend);
    if (facts.has_updater)
        for (const auto& package : packages_of_libraries_opened_on_first_use()) add_unique(control.depends, package);
    for (const auto& depend : request.depends) add_unique(control.depends, depend);
    relink_runtime(facts, root);

    // Debian's changelog, compressed as dpkg expects it.
    const fs::path doc = root / "usr/share/doc" / facts.package;
    const std::time_t when = request.source_date_epoch ? static_cast<std::time_t>(*request.source_date_epoch)
                                                       : std::time(nullptr);
    write_text(doc / "changelog", facts.package + " (" + version + ") unstable; urgency=medium\n\n  * " + facts.name +
                                      " " + facts.bundle_version + ".\n\n -- " + facts.maintainer + "  " +
                                      rfc2822_date(when) + "\n");
    const ToolResult zipped = run_packaging_tool({"gzip", "-9n", (doc / "changelog").string()}, "gzip");
    if (zipped.status != 0) throw PackError(fill(msg_gzip_failed, {first_line(zipped.err), request.out_dir.string()}));
    control.installed_size_kib = tree.installed_kib;

    fs::create_directories(root / "DEBIAN");
    write_text(root / "DEBIAN/control", deb_control_text(control));
    fs::path target = request.out_dir / (facts.package + "_" + version + "_" + arch + ".deb");
    const fs::path built = work.path() / target.filename();
    // xz's highest level and its extreme strategy: a bundle is mostly one large module image and
    // libjvm.so, whose repeats lie further apart than the default level's 8 MiB window reaches. It
    // costs the publisher time once; unpacking needs 65 MiB of memory where the default needs 9 MiB.
    std::vector<std::string> argv = {"dpkg-deb", "--build", "--root-owner-group", "-Zxz", "-z9", "-Sextreme"};
    argv.push_back(root.string());
    argv.push_back(built.string());
    const ToolResult result = run_packaging_tool(argv, "dpkg", std::nullopt);
    if (result.status != 0)
        throw PackError(fill(msg_dpkg_deb_failed, {first_line(result.err), request.out_dir.string()}));
    replace_with(built, target);
    return target;
}

}  // namespace kestrova::pack
