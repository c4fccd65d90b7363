// A Java runtime made for one application with the JDK's jlink: the modules its JARs need (jdeps),
// the service providers no static analysis sees, stripped, with a class-data sharing archive, and
// checked by starting a JVM from it that loads the application's main class.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/jar_manifest.h"

namespace kestrova::pack {

// Modules that applications meet at run time through service lookups, which jdeps cannot see in
// their classes (docs/linux.md says why each is here).
inline constexpr std::string_view service_modules[] = {"jdk.crypto.ec", "jdk.charsets", "jdk.zipfs", "jdk.localedata"};

// The locales kept of jdk.localedata unless the application asks for that module itself: English
// and the languages the JDK's own user interface is translated into.
inline constexpr std::string_view kept_locales = "en,de,es,fr,it,ja,ko,pt-BR,sv,zh-CN,zh-HK,zh-TW";

// The non-empty parts of `text` between `separator`s ("a,,b," gives a and b).
std::vector<std::string> split_list(std::string_view text, char separator);

// Whether the JVM options put the JDK 8 locale provider (COMPAT, or its old name JRE) in
// java.locale.providers: its data of the kept locales is left out otherwise.
bool selects_legacy_locale_data(std::span<const std::string> jvm_options);

// The JDK to link from: bin/jlink, bin/jdeps and jmods/. Throws PackError, naming the package
// that provides what is missing, otherwise.
void require_jlink_jdk(const std::filesystem::path& jdk);

// The module names of the JDK's jmods/ directory, sorted.
std::vector<std::string> jdk_modules(const std::filesystem::path& jdk);

// The feature release of a Java home from its `release` file (JAVA_VERSION="17.0.15" gives 17).
// Throws PackError when there is none.
int feature_release(const std::filesystem::path& java_home);

// The JDK modules that JVM options name: --add-modules=A,B (less ALL-* tokens), and the source
// modules of --add-opens=M/P=..., --add-exports=M/P=..., --add-reads=M=... .
std::vector<std::string> modules_named_in_options(std::span<const std::string> jvm_options);

// What jdeps finds the JARs need (--print-module-deps --ignore-missing-deps, multi-release at the
// JDK's feature release). Throws PackError with jdeps' own complaint.
std::vector<std::string> jdeps_modules(const std::filesystem::path& jdk, std::span<const std::filesystem::path> jars);

// A JDK module that a JAR names a class of only as text (a string constant, a service type).
struct ModuleNamedByText {
    std::string module;
    std::string class_name;  // dotted, as the application writes it
    std::string jar;         // the JAR's file name
};

// A JDK module that provides a service, as `jlink --suggest-providers` lists it.
struct ServiceProvider {
    std::string provider;  // the module
    std::string service;   // the service type, dotted
};

// The "M provides S used by U" lines of `jlink --suggest-providers` output, in order.
std::vector<ServiceProvider> parse_suggested_providers(std::string_view output);

// Every provider of every service that a module of the JDK uses, from the JDK's own jlink.
std::vector<ServiceProvider> jdk_service_providers(const std::filesystem::path& jdk);

// The modules of "root M ..." lines of `java --show-module-resolution` output, in order.
std::vector<std::string> parse_root_modules(std::string_view output);

// The root modules that the JDK's own java resolves for an application on the class path (every
// system module that exports a package to all), asked of its bin/java.
std::vector<std::string> default_root_modules(const std::filesystem::path& jdk);

// What shows that a JAR's code runs code the JARs do not hold: a script engine, a class loader of
// its own that defines classes, a URLClassLoader made for other JARs. A sentence part such as
// "it uses javax.script.ScriptEngineManager"; nullopt when nothing does.
std::optional<std::string> foreign_code_sign(const JarReferences& references);

// Which modules a runtime made with --jlink links: `automatic` the modules found in the JARs unless
// the application runs code it does not contain, then the JDK's default set; `detected` and
// `jdk_default` choose one of them whatever the JARs hold.
enum class ModuleSet { automatic, detected, jdk_default };

struct RuntimeModuleRequest {
    std::filesystem::path jdk;
    std::vector<std::filesystem::path> jars;  // the application's class path
    std::filesystem::path support_jar;        // analysed for modules, not for foreign code
    std::vector<std::string> named;           // JDK or own modules the manifest and JVM options name
    std::vector<std::string> asked;           // --add-modules, already checked against the JDK
    ModuleSet set = ModuleSet::automatic;
};

struct RuntimeModules {
    std::vector<std::string> modules;  // sorted
    std::vector<std::string> notes;    // one line each, on what the tool chose on its own
};

// The modules to link: what jdeps finds the JARs need, the providers no analysis sees
// (service_modules), JDK classes named only by text, the JDK providers of the services the JARs
// use (a service type named in code or text), the named and asked modules; or the JDK's default
// set with all of those.
RuntimeModules choose_runtime_modules(const RuntimeModuleRequest& request);

// Whether `list` is a list jlink's --include-locales takes: comma-separated language ranges of
// letters, digits, '-' and '*' (en,fi,ru-RU,*-IN).
bool is_locale_list(std::string_view list);

struct LinkSettings {
    // Every locale of jdk.localedata, with the COMPAT provider's data; otherwise `locales`.
    bool all_locales = false;
    std::string locales{kept_locales};
    // Keeps the classes' line numbers and local variable names (jlink --strip-debug otherwise),
    // so that stack traces name the JDK's source lines instead of "Unknown Source".
    bool keep_debug_info = false;
};

// Builds `output` (which must not exist) with jlink from the JDK's jmods: exactly `modules` and
// what they require, debug attributes (unless kept), man pages, headers and what no start uses
// left out, the module image with shared strings but not zipped (the package or archive compresses it), native libraries stripped of their symbol tables, then
// a class-data sharing archive dumped by the new runtime itself.
void link_runtime(const std::filesystem::path& jdk, std::span<const std::string> modules,
                  const std::filesystem::path& output, const LinkSettings& settings);

// Starts a JVM from `home` with the bundle's JVM options (app directory tokens already replaced)
// and loads `main_class` as `java --dry-run` does, without running it. Throws PackError with one
// line on failure; the modules missing from the runtime are all named, with the --add-modules
// that fixes it (the further ones found with the JDK's java limited to the runtime's modules).
void check_runtime_loads_main(const std::filesystem::path& home, std::span<const std::string> jvm_options,
                              const std::string& main_class, const std::filesystem::path& jdk);

// A module the dry run found missing, and why it is needed ("which module needsql requires").
struct MissingModule {
    std::string module;
    std::string reason;
};

// The JDK module a failed dry run lacks, from what the java launcher printed; nullopt when the
// start failed for another reason. `module_of` as below.
std::optional<MissingModule> missing_module_in(
    std::string_view output, std::string_view main_class,
    const std::function<std::optional<std::string>(std::string_view)>& module_of);

// One line naming every missing module, with the --add-modules that adds them all.
std::string explain_missing_modules(std::span<const MissingModule> missing);

// The one-line reason for a failed dry run, from what the java launcher printed. `module_of`
// finds the JDK module holding a class (internal name, a/b/C), if any.
std::string explain_failed_start(std::string_view output, std::string_view main_class,
                                 const std::function<std::optional<std::string>(std::string_view)>& module_of);

// The module that holds a class in `jimage list` output of a JDK's lib/modules ("Module: NAME"
// headers, then one indented entry a line, a/b/C.class).
std::optional<std::string> module_in_listing(std::string_view listing, std::string_view internal_name);

}  // namespace kestrova::pack
