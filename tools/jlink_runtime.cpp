#include "tools/jlink_runtime.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "tools/jar_manifest.h"
#include "tools/packaging.h"
#include "tools/stored_zip.h"
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
constexpr std::string_view msg_missing_module =
    "the runtime made with --jlink lacks module {}, {}; add --add-modules {}";
constexpr std::string_view msg_missing_modules =
    "the runtime made with --jlink lacks {} modules: {}; add --add-modules {}";
constexpr std::string_view msg_missing_item = "{}{} ({})";
constexpr std::string_view msg_required_by_module = "which module {} requires";
constexpr std::string_view msg_named_by_option = "which a JVM option names";
constexpr std::string_view msg_needed_class = "whose class {} the main class {} needs";
constexpr std::string_view msg_missing_class =
    "class {}, which {} needs, is in no JAR of the bundle and no module of the JDK; add its JAR with --jar";
constexpr std::string_view msg_main_not_found =
    "the main class {} is in none of the bundle's JARs; check --main-class and the JARs";
constexpr std::string_view msg_start_failed =
    "the runtime made with --jlink cannot start the application: {}; check the JVM options and --add-modules";

constexpr std::string_view msg_providers_failed =
    "jlink could not list the service providers of the JDK \"{}\": {}; pass --runtime the home of a complete JDK";
constexpr std::string_view msg_roots_failed =
    "java could not show the default modules of the JDK \"{}\": {}; pass --runtime the home of a complete JDK";
constexpr std::string_view msg_modules_by_text =
    "note: --jlink adds {}, named only by text in the JARs (loaded by name); --add-modules is not needed for them";
constexpr std::string_view msg_module_by_text_item = "{}{} (for {} in {})";
constexpr std::string_view msg_providers_added =
    "note: --jlink adds the providers of services the JARs use, which are found at run time only: {}; "
    "--add-modules is not needed for them";
constexpr std::string_view msg_provider_item = "{}{} (for {} in {})";
// The service every JDK naming provider (DNS, RMI registry) gives.
constexpr std::string_view naming_provider_service = "javax.naming.spi.InitialContextFactory";
constexpr std::string_view msg_foreign_code =
    "note: {} runs code the JARs do not hold ({}), so --jlink links the JDK's default module set; pass "
    "--jlink-modules detected to link only the modules found in the JARs";

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

namespace {

// The module of every class of the JDK's module image (internal name -> module).
using ClassModules = std::map<std::string, std::string, std::less<>>;

ClassModules jdk_class_modules(const fs::path& jdk) {
    const auto listed = run_tool({(jdk / "bin" / "jimage").string(), "list", (jdk / "lib" / "modules").string()});
    if (listed.status != 0) throw PackError(fill(msg_jimage_failed, {jdk.string(), reason_of(listed)}));
    ClassModules module_of;
    std::string module;
    for (const auto& line : split_list(listed.out, '\n')) {
        const std::string entry = trim(line);
        if (entry.rfind("Module: ", 0) == 0)
            module = entry.substr(8);
        else if (entry.ends_with(".class") && !module.empty())
            module_of.emplace(entry.substr(0, entry.size() - 6), module);
    }
    return module_of;
}

// `named` holds (internal class name, JAR file name) pairs.
std::vector<ModuleNamedByText> modules_of_named(const ClassModules& module_of,
                                                std::span<const std::pair<std::string, std::string>> named) {
    std::vector<ModuleNamedByText> found;
    std::set<std::string> seen{"java.base"};
    for (const auto& [name, jar] : named) {
        const auto it = module_of.find(name);
        if (it == module_of.end() || !seen.insert(it->second).second) continue;
        found.push_back({it->second, dotted(name), jar});
    }
    return found;
}

}  // namespace

std::vector<ServiceProvider> parse_suggested_providers(std::string_view output) {
    std::vector<ServiceProvider> found;
    for (const auto& line : split_list(output, '\n')) {
        // "  jdk.compiler provides javax.tools.JavaCompiler used by java.compiler"
        std::istringstream words(line);
        std::string provider, provides, service, used, by;
        if (!(words >> provider >> provides >> service >> used >> by)) continue;
        if (provides == "provides" && used == "used" && by == "by") found.push_back({provider, service});
    }
    return found;
}

std::vector<ServiceProvider> jdk_service_providers(const fs::path& jdk) {
    const auto suggested = run_tool({(jdk / "bin" / "jlink").string(), "--module-path", (jdk / "jmods").string(),
                                     "--add-modules", "ALL-MODULE-PATH", "--suggest-providers"});
    if (suggested.status != 0) throw PackError(fill(msg_providers_failed, {jdk.string(), reason_of(suggested)}));
    return parse_suggested_providers(suggested.out);
}

std::vector<std::string> parse_root_modules(std::string_view output) {
    std::vector<std::string> roots;
    for (const auto& line : split_list(output, '\n')) {
        std::istringstream words(line);
        std::string root, module;
        if (words >> root >> module && root == "root" && std::find(roots.begin(), roots.end(), module) == roots.end())
            roots.push_back(module);
    }
    return roots;
}

std::vector<std::string> default_root_modules(const fs::path& jdk) {
    const auto shown = run_tool({(jdk / "bin" / "java").string(), "--show-module-resolution", "-version"});
    auto roots = parse_root_modules(shown.out + "\n" + shown.err);
    if (shown.status != 0 || roots.empty()) throw PackError(fill(msg_roots_failed, {jdk.string(), reason_of(shown)}));
    return roots;
}

namespace {

// A call or a class that shows code from elsewhere being run. An empty owner matches any class:
// a class loader calls its own inherited defineClass.
struct ForeignCodeSign {
    std::string_view owner;
    std::string_view method;  // empty: any use of the class
    std::string_view text;
};

constexpr ForeignCodeSign foreign_code_signs[] = {
    {"javax/script/ScriptEngineManager", "", "it embeds a script engine through javax.script.ScriptEngineManager"},
    {"", "defineClass", "it calls defineClass, defining classes at run time"},
    {"", "defineHiddenClass", "it calls defineHiddenClass, defining classes at run time"},
    {"java/net/URLClassLoader", "<init>", "it makes a URLClassLoader, loading classes from other JARs"},
    {"java/net/URLClassLoader", "newInstance", "it makes a URLClassLoader, loading classes from other JARs"},
};

}  // namespace

std::optional<std::string> foreign_code_sign(const JarReferences& references) {
    for (const auto& sign : foreign_code_signs) {
        if (sign.method.empty()) {
            if (std::binary_search(references.named_by_code.begin(), references.named_by_code.end(), sign.owner))
                return std::string(sign.text);
            continue;
        }
        for (const auto& method : references.methods)
            if (method.name == sign.method && (sign.owner.empty() || method.owner == sign.owner))
                return std::string(sign.text);
    }
    return std::nullopt;
}

RuntimeModules choose_runtime_modules(const RuntimeModuleRequest& request) {
    const auto available = jdk_modules(request.jdk);
    const auto in_jdk = [&](std::string_view module) {
        return std::binary_search(available.begin(), available.end(), module);
    };
    std::vector<fs::path> analysed = request.jars;
    analysed.push_back(request.support_jar);
    std::set<std::string> modules;
    for (const auto& module : jdeps_modules(request.jdk, analysed)) modules.insert(module);
    for (const auto module : service_modules)
        if (in_jdk(module)) modules.emplace(module);

    RuntimeModules chosen;
    std::vector<std::pair<JarReferences, std::string>> scans;  // (what it refers to, the JAR's file name)
    scans.reserve(analysed.size());
    for (const auto& jar : analysed) scans.emplace_back(jar_references(jar), jar.filename().string());

    // The default set first, so that the lines below name only what it lacks: the outcome is said once.
    bool default_set = request.set == ModuleSet::jdk_default;
    if (request.set == ModuleSet::automatic) {
        for (std::size_t i = 0; i + 1 < scans.size() && !default_set; ++i) {  // the support JAR is last
            if (const auto sign = foreign_code_sign(scans[i].first)) {
                chosen.notes.push_back(fill(msg_foreign_code, {scans[i].second, *sign}));
                default_set = true;
            }
        }
    }
    if (default_set)
        for (const auto& module : default_root_modules(request.jdk))
            if (in_jdk(module)) modules.insert(module);

    // Classes loaded by name (Class.forName, service types) are what jdeps cannot see.
    std::vector<std::pair<std::string, std::string>> named;
    for (const auto& [references, jar] : scans)
        for (const auto& name : references.named_by_text) named.emplace_back(name, jar);
    std::string by_text;
    if (!named.empty()) {
        for (const auto& found : modules_of_named(jdk_class_modules(request.jdk), named)) {
            if (!in_jdk(found.module) || !modules.insert(found.module).second) continue;
            by_text += fill(msg_module_by_text_item,
                            {by_text.empty() ? "" : ", ", found.module, found.class_name, found.jar});
        }
    }
    if (!by_text.empty()) chosen.notes.push_back(fill(msg_modules_by_text, {by_text}));

    // A service the application uses finds its providers at run time only; jlink links none of
    // them unless asked. The JDK's own binding would link every provider of every service the
    // linked modules use, which is most of the JDK: only the services the JARs name are bound.
    std::map<std::string, std::vector<std::string>, std::less<>> providers_of;
    for (auto& [provider, service] : jdk_service_providers(request.jdk)) providers_of[service].push_back(provider);
    std::string by_service;
    const auto bind = [&](std::string_view service, const std::string& jar) {
        const auto it = providers_of.find(service);
        if (it == providers_of.end()) return;
        for (const auto& provider : it->second) {
            if (!in_jdk(provider) || !modules.insert(provider).second) continue;
            by_service += fill(msg_provider_item, {by_service.empty() ? "" : ", ", provider, it->first, jar});
        }
    };
    for (const auto& [references, jar] : scans) {
        for (const auto* names : {&references.named_by_code, &references.named_by_text})
            for (const auto& name : *names) bind(dotted(name), jar);
        // JNDI finds its providers by a name it builds from the URL's scheme (dns: gives
        // com.sun.jndi.url.dns...), which no scan sees: code that uses javax.naming gets them all.
        const auto& code = references.named_by_code;
        if (std::any_of(code.begin(), code.end(), [](const std::string& c) { return c.starts_with("javax/naming/"); }))
            bind(naming_provider_service, jar);
    }
    if (!by_service.empty()) chosen.notes.push_back(fill(msg_providers_added, {by_service}));

    // An application's own modules (on a --module-path of its own) are not the JDK's to link.
    for (const auto& module : request.named)
        if (in_jdk(module)) modules.insert(module);
    modules.insert(request.asked.begin(), request.asked.end());
    chosen.modules.assign(modules.begin(), modules.end());
    return chosen;
}

bool is_locale_list(std::string_view list) {
    const auto ranges = split_list(list, ',');
    if (ranges.empty() || list.front() == ',' || list.back() == ',' || list.find(",,") != std::string_view::npos)
        return false;
    for (const auto& range : ranges) {
        if (range.front() == '-' || range.back() == '-') return false;
        for (const char c : range)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '*'))
                return false;
    }
    return true;
}

void link_runtime(const fs::path& jdk, std::span<const std::string> modules, const fs::path& output,
                  const LinkSettings& settings) {
    std::string list;
    for (const auto& module : modules) {
        if (!list.empty()) list += ',';
        list += module;
    }
    // Shared strings, not zip (--compress=2): a zipped image does not shrink again under a .deb's
    // xz or the release's gzip, so it made packages larger, and every start inflates what it loads.
    // Unzipped, the package's or the archive's compression does that work once.
    std::vector<std::string> argv = {(jdk / "bin" / "jlink").string(),
                                     "--module-path",
                                     (jdk / "jmods").string(),
                                     "--add-modules",
                                     list,
                                     "--output",
                                     output.string(),
                                     "--no-man-pages",
                                     "--no-header-files",
                                     "--compress=1"};
    if (!settings.keep_debug_info) argv.emplace_back("--strip-debug");
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
    std::string excluded = "--exclude-resources=";
    excluded += keytool_classes;
    if (!settings.all_locales && std::find(modules.begin(), modules.end(), "jdk.localedata") != modules.end()) {
        std::string locales = "--include-locales=";
        locales += settings.locales;
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

    // javac's signatures of the older releases (jdk.compiler's lib/ct.sym) are some 15,000 small entries,
    // deflated one by one; stored, the package's or the archive's compression takes them together.
    if (fs::is_regular_file(output / "lib" / "ct.sym")) store_zip_entries(output / "lib" / "ct.sym");

    // Without an archive every start loads and links the JDK's start-up classes from the module
    // image. The runtime dumps it from its own class list, so it matches exactly these modules.
    const auto dumped = run_tool({(output / "bin" / "java").string(), "-Xshare:dump"});
    std::error_code ec;
    if (dumped.status != 0 || !fs::is_regular_file(output / "lib" / "server" / "classes.jsa", ec))
        throw PackError(fill(msg_dump_failed, {reason_of(dumped)}));

    // What no start of the bundle uses: the class list only feeds the dump above, jrt-fs.jar lets
    // another JDK read this image, jexec runs JAR files through binfmt_misc, keytool is a command
    // of the JDK. bin/java stays: the check below runs it, and applications start child JVMs with it.
    for (const auto* unused : {"lib/classlist", "lib/jrt-fs.jar", "lib/jexec", "bin/keytool"})
        fs::remove(output / unused, ec);
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
        if (line.rfind("Module: ", 0) == 0)
            module = line.substr(8);
        else if (line == entry && !module.empty())
            return module;
    }
    return std::nullopt;
}

std::optional<MissingModule> missing_module_in(
    std::string_view output, std::string_view main_class,
    const std::function<std::optional<std::string>(std::string_view)>& module_of) {
    // The boot layer cannot be built: a module that a module (or a JVM option) names is absent.
    if (const auto found = after(output, "java.lang.module.FindException: Module ")) {
        const std::string& rest = *found;
        const std::string module = rest.substr(0, rest.find(' '));
        if (const auto by = rest.find(", required by "); by != std::string::npos)
            return MissingModule{module, fill(msg_required_by_module, {rest.substr(by + 14)})};
        if (rest.find(" not found") != std::string::npos)
            return MissingModule{module, std::string(msg_named_by_option)};
    }
    if (const auto missing = after(output, "java.lang.NoClassDefFoundError: ")) {
        const std::string internal_name = missing->substr(0, missing->find(' '));
        if (const auto module = module_of(internal_name))
            return MissingModule{*module, fill(msg_needed_class, {dotted(internal_name), main_class})};
    }
    return std::nullopt;
}

std::string explain_failed_start(std::string_view output, std::string_view main_class,
                                 const std::function<std::optional<std::string>(std::string_view)>& module_of) {
    if (const auto missing = missing_module_in(output, main_class, module_of))
        return fill(msg_missing_module, {missing->module, missing->reason, missing->module});
    // The main class, or a class its loading needs, is not there.
    if (const auto missing = after(output, "java.lang.NoClassDefFoundError: ")) {
        const std::string internal_name = missing->substr(0, missing->find(' '));
        return fill(msg_missing_class, {dotted(internal_name), "the main class " + std::string(main_class)});
    }
    if (after(output, "java.lang.ClassNotFoundException: ")) return fill(msg_main_not_found, {main_class});
    std::string why;
    for (const auto& line : split_list(output, '\n'))
        if (!trim(line).empty() && why.empty()) why = trim(line);
    return fill(msg_start_failed, {why.empty() ? "no reason given" : why});
}

std::string explain_missing_modules(std::span<const MissingModule> found) {
    if (found.size() == 1) return fill(msg_missing_module, {found[0].module, found[0].reason, found[0].module});
    std::vector<MissingModule> missing(found.begin(), found.end());
    std::sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) { return a.module < b.module; });
    std::string items, list;
    for (const auto& each : missing) {
        items += fill(msg_missing_item, {items.empty() ? "" : ", ", each.module, each.reason});
        list += (list.empty() ? "" : ",") + each.module;
    }
    return fill(msg_missing_modules, {std::to_string(missing.size()), items, list});
}

namespace {

// The MODULES line of a Java home's release file.
std::vector<std::string> modules_in_release(const fs::path& home) {
    std::ifstream in(home / "release");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("MODULES=", 0) != 0) continue;
        line.erase(std::remove(line.begin(), line.end(), '"'), line.end());
        return split_list(std::string_view(line).substr(8), ' ');
    }
    return {};
}

std::string joined(std::span<const std::string> items, char separator) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += separator;
        out += item;
    }
    return out;
}

}  // namespace

void check_runtime_loads_main(const fs::path& home, std::span<const std::string> jvm_options,
                              const std::string& main_class, const fs::path& jdk) {
    const auto dry_run = [&](const fs::path& java, std::span<const std::string> first) {
        std::vector<std::string> argv = {java.string(), "--dry-run"};
        argv.insert(argv.end(), first.begin(), first.end());
        argv.insert(argv.end(), jvm_options.begin(), jvm_options.end());
        // The JDK's class-data archive does not serve a limited module graph: -Xshare:on would fail.
        if (!first.empty()) argv.emplace_back("-Xshare:auto");
        argv.push_back(main_class);
        return run_tool(argv);
    };
    const auto result = dry_run(home / "bin" / "java", {});
    if (result.status == 0) return;
    std::optional<std::string> listing;
    const auto module_of = [&](std::string_view internal_name) -> std::optional<std::string> {
        if (!listing) {
            const auto listed = run_tool(
                {(jdk / "bin" / "jimage").string(), "list", (jdk / "lib" / "modules").string()});
            listing = listed.status == 0 ? listed.out : std::string();
        }
        return module_in_listing(*listing, internal_name);
    };
    const std::string output = result.err + "\n" + result.out;
    auto missing = missing_module_in(output, main_class, module_of);
    if (!missing) throw PackError(explain_failed_start(output, main_class, module_of));

    // The dry run stops at the first module it misses. Each further one is found without linking
    // again: the JDK's own java, limited to the runtime's modules and those found missing so far,
    // resolves and loads as the runtime would, in a fraction of a second a run.
    // Only the JDK's modules limit it: the limit takes in what its modules require, and the
    // application's own modules (--add-modules) stay observable without it.
    std::vector<MissingModule> all = {*missing};
    std::vector<std::string> limit = modules_in_release(home);
    const auto in_jdk = jdk_modules(jdk);
    const auto limited = [&] { return "--limit-modules=" + joined(limit, ','); };
    for (limit.push_back(missing->module); all.size() < 64;) {
        const std::string option = limited();
        const auto again = dry_run(jdk / "bin" / "java", std::span<const std::string>(&option, 1));
        if (again.status == 0) break;
        const auto next = missing_module_in(again.err + "\n" + again.out, main_class, module_of);
        if (!next || std::find(limit.begin(), limit.end(), next->module) != limit.end() ||
            !std::binary_search(in_jdk.begin(), in_jdk.end(), next->module))
            break;
        all.push_back(*next);
        limit.push_back(next->module);
    }
    throw PackError(explain_missing_modules(all));
}

}  // namespace kestrova::pack
