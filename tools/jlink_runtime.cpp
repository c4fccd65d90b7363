#include "tools/jlink_runtime.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <system_error>

#include "tools/jar_manifest.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_no_jmods =
    "the JDK \"{}\" has no jmods directory, which --jlink links from; install {} (on Debian 12 the jmods come "
    "with openjdk-{}-jdk-headless) or pass --runtime a JDK that has them";
constexpr std::string_view msg_no_jdk_tool =
    "the runtime \"{}\" has no bin/{}, which --jlink needs; pass --runtime the home of a full JDK "
    "(Debian: openjdk-{}-jdk-headless)";
constexpr std::string_view msg_no_release =
    "the runtime \"{}\" has no readable release file with JAVA_VERSION; pass --runtime the home of a complete JDK";
constexpr std::string_view msg_jdeps_failed =
    "jdeps could not analyse the application's JARs: {}; check the JARs, or pass the modules with --add-modules";
constexpr std::string_view msg_jimage_failed =
    "jimage could not list the modules of the JDK \"{}\": {}; pass --runtime the home of a complete JDK";
constexpr std::string_view msg_jlink_failed = "jlink failed: {}; check the --add-modules names and the free space";
constexpr std::string_view msg_strip_failed =
    "objcopy could not strip \"{}\": {}; install binutils (objcopy) or check the free space";
constexpr std::string_view msg_dump_failed =
    "the new runtime could not write its class-data sharing archive: {}; check the free space";
constexpr std::string_view msg_missing_module_for_class =
    "the runtime made with --jlink lacks module {}, whose class {} {} needs; add --add-modules {}";
constexpr std::string_view msg_missing_module_for_module =
    "the runtime made with --jlink lacks module {}, which module {} requires; add --add-modules {}";
constexpr std::string_view msg_missing_module_named =
    "the runtime made with --jlink lacks module {}, which a JVM option names; add --add-modules {}";
constexpr std::string_view msg_missing_class =
    "class {}, which {} needs, is in no JAR of the bundle and no module of the JDK; add its JAR with --jar";
constexpr std::string_view msg_main_not_found =
    "the main class {} is in none of the bundle's JARs; check --main-class and the JARs";
constexpr std::string_view msg_start_failed =
    "the runtime made with --jlink cannot start the application: {}; check the JVM options and --add-modules";

// The first line of a tool's standard error, or of its standard output when it wrote no error.
std::string reason_of(const ToolResult& result) {
    const std::string err = first_line(result.err);
    return err.empty() ? first_line(result.out) : err;
}

// keytool's command and its messages: the bundle has no bin/keytool. CertAndKeyGen, which some
// libraries reach into, stays.
constexpr std::string_view keytool_classes =
    "/java.base/sun/security/tools/keytool/Main*,/java.base/sun/security/tools/keytool/Resources*";

// The kept locales' data of the JDK 8 (COMPAT) locale provider that the default provider (CLDR)
// has its own of: names of locales, currencies and time zones, date and number formats. With the
// default providers the output is the same without them (dates, numbers, currencies, locale and
// zone names, checked for de, ja, sv, zh-TW, pt-BR); an application that puts COMPAT first gets
// every locale instead (selects_legacy_locale_data). The collation data (Collator, which CLDR does
// not provide) and the calendar data stay; jlink needs one class left in each package.
constexpr std::string_view legacy_locale_data =
    "/jdk.localedata/sun/util/resources/ext/LocaleNames_*,/jdk.localedata/sun/util/resources/ext/CurrencyNames_*,"
    "/jdk.localedata/sun/util/resources/ext/TimeZoneNames_*,/jdk.localedata/sun/text/resources/ext/FormatData_*,"
    "/jdk.localedata/sun/text/resources/ext/JavaTimeSupplementary_*";

std::string trim(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(start, end - start + 1));
}

std::string feature_text(const fs::path& jdk) {
    try {
        return std::to_string(feature_release(jdk));
    } catch (const PackError&) {
        return "N";
    }
}

// The text after `marker` up to the end of its line, trimmed.
std::optional<std::string> after(std::string_view text, std::string_view marker) {
    const auto at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    const auto from = at + marker.size();
    auto end = text.find('\n', from);
    if (end == std::string_view::npos) end = text.size();
    return trim(text.substr(from, end - from));
}

std::string dotted(std::string_view internal_name) {
    std::string name(internal_name);
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
}

}  // namespace

std::vector<std::string> split_list(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (from <= text.size()) {
        auto end = text.find(separator, from);
        if (end == std::string_view::npos) end = text.size();
        if (end > from) parts.emplace_back(text.substr(from, end - from));
        from = end + 1;
    }
    return parts;
}

bool selects_legacy_locale_data(std::span<const std::string> jvm_options) {
    constexpr std::string_view property = "-Djava.locale.providers=";
    for (const auto& option : jvm_options) {
        if (option.rfind(property, 0) != 0) continue;
        for (const auto& provider : split_list(std::string_view(option).substr(property.size()), ','))
            if (provider == "COMPAT" || provider == "JRE") return true;
    }
    return false;
}

void require_jlink_jdk(const fs::path& jdk) {
    std::error_code ec;
    const std::string feature = feature_text(jdk);
    for (const char* tool : {"jlink", "jdeps", "java"})
        if (!fs::is_regular_file(jdk / "bin" / tool, ec))
            throw PackError(fill(msg_no_jdk_tool, {jdk.string(), tool, feature}));
    if (!fs::is_regular_file(jdk / "jmods" / "java.base.jmod", ec))
        throw PackError(fill(msg_no_jmods, {jdk.string(), "openjdk-" + feature + "-jmods", feature}));
}

std::vector<std::string> jdk_modules(const fs::path& jdk) {
    std::vector<std::string> modules;
    std::error_code ec;
    for (fs::directory_iterator it(jdk / "jmods", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const auto path = it->path();
        if (path.extension() == ".jmod") modules.push_back(path.stem().string());
    }
    std::sort(modules.begin(), modules.end());
    return modules;
}

int feature_release(const fs::path& java_home) {
    std::ifstream in(java_home / "release");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("JAVA_VERSION=", 0) != 0) continue;
        std::string version = line.substr(13);
        version.erase(std::remove(version.begin(), version.end(), '"'), version.end());
        // 17.0.15, or 1.8.0_402 for the releases before 9.
        if (version.rfind("1.", 0) == 0) version.erase(0, 2);
        int feature = 0;
        std::size_t digits = 0;
        while (digits < version.size() && version[digits] >= '0' && version[digits] <= '9')
            feature = feature * 10 + (version[digits++] - '0');
        if (digits > 0 && digits < 5) return feature;
    }
    throw PackError(fill(msg_no_release, {java_home.string()}));
}

std::vector<std::string> modules_named_in_options(std::span<const std::string> jvm_options) {
    std::vector<std::string> modules;
    auto add = [&](const std::string& module) {
        if (module.empty() || module.rfind("ALL-", 0) == 0) return;
        if (std::find(modules.begin(), modules.end(), module) == modules.end()) modules.push_back(module);
    };
    for (const auto& option : jvm_options) {
        if (option.rfind("--add-modules=", 0) == 0) {
            for (const auto& module : split_list(std::string_view(option).substr(14), ',')) add(module);
            continue;
        }
        for (const std::string_view prefix : {"--add-opens=", "--add-exports=", "--add-reads="}) {
            if (option.rfind(prefix, 0) != 0) continue;
            const std::string rest = option.substr(prefix.size());
            add(rest.substr(0, rest.find_first_of("/=")));
        }
    }
    return modules;
}

std::vector<std::string> jdeps_modules(const fs::path& jdk, std::span<const fs::path> jars) {
    std::vector<std::string> argv = {(jdk / "bin" / "jdeps").string(), "--print-module-deps", "--ignore-missing-deps",
                                     "--multi-release", std::to_string(feature_release(jdk))};
    std::string class_path;
    for (const auto& jar : jars) {
        if (!class_path.empty()) class_path += ':';
        class_path += jar.string();
    }
    argv.insert(argv.end(), {"--class-path", class_path});
    for (const auto& jar : jars) argv.push_back(jar.string());
    const auto result = run_tool(argv);
    if (result.status != 0) throw PackError(fill(msg_jdeps_failed, {reason_of(result)}));
    // The answer is the last line; warnings (split packages, ...) may come before it.
    std::string last;
    for (const auto& line : split_list(result.out, '\n'))
        if (!trim(line).empty()) last = trim(line);
    return split_list(last, ',');
}

std::vector<ModuleNamedByText> modules_named_by_text(const fs::path& jdk, std::span<const fs::path> jars) {
    std::vector<std::pair<std::string, std::string>> named;  // (internal class name, JAR)
    for (const auto& jar : jars)
        for (auto& name : class_names_named_in_jar(jar)) named.emplace_back(std::move(name), jar.filename().string());
    std::vector<ModuleNamedByText> found;
    if (named.empty()) return found;

    const auto listed = run_tool({(jdk / "bin" / "jimage").string(), "list", (jdk / "lib" / "modules").string()});
    if (listed.status != 0) throw PackError(fill(msg_jimage_failed, {jdk.string(), reason_of(listed)}));
    std::map<std::string, std::string, std::less<>> module_of;  // internal class name -> module
    std::string module;
    for (const auto& line : split_list(listed.out, '\n')) {
        const std::string entry = trim(line);
        if (entry.rfind("Module: ", 0) == 0) module = entry.substr(8);
        else if (entry.ends_with(".class") && !module.empty()) module_of.emplace(entry.substr(0, entry.size() - 6), module);
    }
    std::set<std::string> seen{"java.base"};
    for (const auto& [name, jar] : named) {
        const auto it = module_of.find(name);
        if (it == module_of.end() || !seen.insert(it->second).second) continue;
        found.push_back({it->second, dotted(name), jar});
    }
    return found;
}

void link_runtime(const fs::path& jdk, std::span<const std::string> modules, const fs::path& output,
                  bool all_locales) {
    std::string list;
    for (const auto& module : modules) {
        if (!list.empty()) list += ',';
        list += module;
    }
    std::vector<std::string> argv = {(jdk / "bin" / "jlink").string(), "--module-path", (jdk / "jmods").string(),
                                     "--add-modules", list, "--output", output.string(), "--strip-debug",
                                     "--no-man-pages", "--no-header-files", "--compress=2"};
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
    std::string excluded = "--exclude-resources=";
    excluded += keytool_classes;
    if (!all_locales && std::find(modules.begin(), modules.end(), "jdk.localedata") != modules.end()) {
        std::string locales = "--include-locales=";
        locales += kept_locales;
        argv.push_back(locales);
        excluded += ',';
        excluded += legacy_locale_data;
    }
    argv.push_back(excluded);
    const auto linked = run_tool(argv);
    if (linked.status != 0) throw PackError(fill(msg_jlink_failed, {reason_of(linked)}));

    // The JDK's libraries keep their full symbol tables (libjvm.so alone 4 MB of them). The
    // dynamic symbols, which is all that loading and JNI use, stay.
    std::vector<fs::path> libraries;
    for (const auto& entry : fs::recursive_directory_iterator(output / "lib"))
        if (entry.is_regular_file() && entry.path().extension() == ".so") libraries.push_back(entry.path());
    for (const auto& library : libraries) {
        const auto stripped = run_tool({"objcopy", "--strip-unneeded", library.string()});
        if (stripped.status != 0) throw PackError(fill(msg_strip_failed, {library.string(), first_line(stripped.err)}));
    }

    // Without an archive every start loads and links the JDK's start-up classes from the module
    // image. The runtime dumps it from its own class list, so it matches exactly these modules.
    const auto dumped = run_tool({(output / "bin" / "java").string(), "-Xshare:dump"});
    std::error_code ec;
    if (dumped.status != 0 || !fs::is_regular_file(output / "lib" / "server" / "classes.jsa", ec))
        throw PackError(fill(msg_dump_failed, {reason_of(dumped)}));

    // What no start of the bundle uses: the class list only feeds the dump above, jrt-fs.jar lets
    // another JDK read this image, jexec runs JAR files through binfmt_misc, keytool is a command
    // of the JDK. bin/java stays: the check below runs it, and applications start child JVMs with it.
    for (const auto* unused : {"lib/classlist", "lib/jrt-fs.jar", "lib/jexec", "bin/keytool"}) fs::remove(output / unused, ec);
}

std::optional<std::string> module_in_listing(std::string_view listing, std::string_view internal_name) {
    const std::string entry = std::string(internal_name) + ".class";
    std::string module;
    std::size_t from = 0;
    while (from < listing.size()) {
        auto end = listing.find('\n', from);
        if (end == std::string_view::npos) end = listing.size();
        const std::string line = trim(listing.substr(from, end - from));
        from = end + 1;
        if (line.rfind("Module: ", 0) == 0) module = line.substr(8);
        else if (line == entry && !module.empty()) return module;
    }
    return std::nullopt;
}

std::string explain_failed_start(std::string_view output, std::string_view main_class,
                                 const std::function<std::optional<std::string>(std::string_view)>& module_of) {
    // The boot layer cannot be built: a module that a module (or a JVM option) names is absent.
    if (const auto found = after(output, "java.lang.module.FindException: Module ")) {
        const std::string& rest = *found;
        const auto space = rest.find(' ');
        const std::string module = rest.substr(0, space);
        if (const auto by = rest.find(", required by "); by != std::string::npos)
            return fill(msg_missing_module_for_module, {module, rest.substr(by + 14), module});
        if (rest.find(" not found") != std::string::npos) return fill(msg_missing_module_named, {module, module});
    }
    // The main class, or a class its loading needs, is not there.
    const std::string needing = "the main class " + std::string(main_class);
    if (const auto missing = after(output, "java.lang.NoClassDefFoundError: ")) {
        const std::string internal_name = missing->substr(0, missing->find(' '));
        if (const auto module = module_of(internal_name))
            return fill(msg_missing_module_for_class, {*module, dotted(internal_name), needing, *module});
        return fill(msg_missing_class, {dotted(internal_name), needing});
    }
    if (after(output, "java.lang.ClassNotFoundException: ")) return fill(msg_main_not_found, {main_class});
    std::string why;
    for (const auto& line : split_list(output, '\n'))
        if (!trim(line).empty() && why.empty()) why = trim(line);
    return fill(msg_start_failed, {why.empty() ? "no reason given" : why});
}

void check_runtime_loads_main(const fs::path& home, std::span<const std::string> jvm_options,
                              const std::string& main_class, const fs::path& jdk) {
    std::vector<std::string> argv = {(home / "bin" / "java").string(), "--dry-run"};
    argv.insert(argv.end(), jvm_options.begin(), jvm_options.end());
    argv.push_back(main_class);
    const auto result = run_tool(argv);
    if (result.status == 0) return;
    std::optional<std::string> listing;
    const auto module_of = [&](std::string_view internal_name) -> std::optional<std::string> {
        if (!listing) {
            const auto listed = run_tool({(jdk / "bin" / "jimage").string(), "list", (jdk / "lib" / "modules").string()});
            listing = listed.status == 0 ? listed.out : std::string();
        }
        return module_in_listing(*listing, internal_name);
    };
    throw PackError(explain_failed_start(result.err + "\n" + result.out, main_class, module_of));
}

}  // namespace kestrova::pack
