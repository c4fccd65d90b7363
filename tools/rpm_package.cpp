#include "tools/rpm_package.h"

#include <algorithm>
#include <system_error>

#include "tools/deb_package.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_no_architecture = "rpm --eval %_arch failed ({}); check the rpm installation";
constexpr std::string_view msg_rpmbuild_failed =
    "rpmbuild could not build the package: {}; check the free space in \"{}\"";
constexpr std::string_view msg_bad_path =
    "the package would install \"{}\", which rpmbuild's %files list cannot name; rename it";

std::string architecture() {
    const ToolResult result = run_packaging_tool({"rpm", "--eval", "%{_arch}"}, "rpm");
    std::string arch = first_line(result.out);
    if (result.status != 0 || arch.empty() || arch.front() == '%')
        throw PackError(fill(msg_no_architecture, {first_line(result.err)}));
    return arch;
}

// A path in %files: quoted, with what rpm would expand or glob refused.
std::string files_entry(const std::string& path) {
    if (path.find_first_of("\"%\n\\*?[]{}") != std::string::npos) throw PackError(fill(msg_bad_path, {path}));
    return "\"" + path + "\"";
}

// A regular expression that matches `text` as it stands.
std::string regex_literal(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += "\\\\";
        out += c;
    }
    return out;
}

}  // namespace

std::string rpm_recipe_text(const RpmRecipe& recipe) {
    std::string out;
    // The bundle is one whole: rpm's scripts must neither strip nor recompile it, nor split out
    // debug information, and its carried runtime's libraries are its own, not the system's.
    out += "%global debug_package %{nil}\n%global __os_install_post %{nil}\n%global _build_id_links none\n";
    out += "%global __provides_exclude_from ^" + regex_literal(recipe.private_tree) + "/.*$\n";
    if (!recipe.excluded.empty()) {
        out += "%global __requires_exclude ^(";
        for (std::size_t i = 0; i < recipe.excluded.size(); ++i)
            out += (i ? "|" : "") + regex_literal(recipe.excluded[i]);
        out += ")\n";
    }
    out += "Name: " + recipe.name + "\nVersion: " + recipe.version + "\nRelease: 1\n";
    out += "Summary: " + recipe.summary + "\nLicense: see the application's own license\n";
    out += "Packager: " + recipe.packager + "\n";
    if (!recipe.url.empty()) out += "URL: " + recipe.url + "\n";
    for (const auto& require : recipe.requires_) out += "Requires: " + require + "\n";
    out += "\n%description\n" + recipe.summary + ", with the Java runtime it runs on, as one application bundle.\n";
    out += "Updates come through the package manager.\n";
    out += "\n%install\nmkdir -p %{buildroot}\ncp -a '" + recipe.staged.string() + "/.' %{buildroot}/\n";
    out += "\n%files\n%defattr(-,root,root,-)\n";
    for (const auto& file : recipe.files) out += files_entry(file) + "\n";
    return out;
}

fs::path make_rpm(const PackageRequest& request) {
    const PackageFacts facts = read_package_facts(request);
    const std::string version = debian_version(facts.bundle_version);
    const std::string arch = architecture();

    TemporaryDirectory work(facts.out_dir, hidden_name(facts.out_dir / facts.package, ".rpm-"));
    const fs::path root = work.path() / "root";
    stage_package_tree(request, facts, root);
    relink_runtime(facts, root);

    RpmRecipe recipe;
    recipe.name = facts.package;
    recipe.version = version;
    recipe.summary = facts.summary;
    recipe.packager = facts.maintainer;
    recipe.url = facts.homepage.value_or("");
    recipe.staged = root;
    recipe.private_tree = facts.installed_bundle.parent_path().string();
    // A linked runtime: the JVM file itself is the requirement any distribution's JDK package can
    // meet, and rpm must not require the sonames only that JDK's private directories hold.
    if (facts.java_home) {
        recipe.requires_.push_back((*facts.java_home / "lib/server/libjvm.so").string());
        recipe.excluded = {"libjvm.so", "libjava.so", "libjli.so", "libawt.so", "libawt_xawt.so"};
    }
    // rpm names a 64-bit library's capability with its soname and "()(64bit)".
    if (facts.has_updater)
        for (const auto& library : libraries_opened_on_first_use()) recipe.requires_.push_back(library + "()(64bit)");
    for (const auto& depend : request.depends) recipe.requires_.push_back(depend);
    // The bundle's and the documentation's directories are the package's; elsewhere only its files.
    const fs::path bundle_dir = "/" / facts.installed_bundle.parent_path().relative_path();
    const fs::path doc_dir = fs::path("/usr/share/doc") / facts.package;
    recipe.files = {bundle_dir.string(), doc_dir.string()};
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path installed = "/" / it->path().lexically_relative(root);
        if (installed == bundle_dir || installed == doc_dir) {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_directory(ec) || it->is_symlink(ec)) recipe.files.push_back(installed.string());
    }
    std::sort(recipe.files.begin() + 2, recipe.files.end());
    const fs::path recipe_file = work.path() / (facts.package + ".rpmbuild");
    const std::string text = rpm_recipe_text(recipe);
    write_file_atomically(recipe_file, std::span<const char>(text.data(), text.size()), 0644);

    const fs::path built_dir = work.path() / "out";
    const std::string file_name = facts.package + "-" + version + "-1." + arch + ".rpm";
    // The payload in xz at level 9, as the .deb's: rpm's own default here is gzip, which left a
    // carried runtime half as large again (jEdit's rpm 40.8 MB, 27.0 MB in xz, 30.1 MB in zstd at
    // 19), and every rpm since 4.6 unpacks xz.
    const ToolResult result =
        run_packaging_tool({"rpmbuild", "-bb", "--quiet", "--define", "_topdir " + (work.path() / "top").string(),
                            "--define", "_rpmdir " + built_dir.string(), "--define", "_build_name_fmt " + file_name,
                            "--define", "_binary_payload w9.xzdio", "--buildroot", (work.path() / "buildroot").string(),
                            recipe_file.string()},
                           "rpm");
    if (result.status != 0)
        throw PackError(fill(msg_rpmbuild_failed, {first_line(result.err), request.out_dir.string()}));
    fs::path target = request.out_dir / file_name;
    replace_with(built_dir / file_name, target);
    return target;
}

}  // namespace kestrova::pack
