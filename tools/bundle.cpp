#include "tools/bundle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/launch_plan.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/desktop_integration.h"
#include "platform/shared_library.h"
#include "protocol/ed25519.h"
#include "protocol/rollout.h"
#include "tools/added_launchers.h"
#include "tools/bundle_inputs.h"
#include "tools/desktop_entry.h"
#include "tools/file_ops.h"
#include "tools/jar_manifest.h"
#include "tools/jlink_runtime.h"
#include "tools/mime_types.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

#ifndef KESTROVA_PACK_LIB_FROM_BIN
#error "the build defines KESTROVA_PACK_LIB_FROM_BIN (lib/kestrova relative to bin)"
#endif
#ifndef KESTROVA_PACK_SHARE_FROM_BIN
#error "the build defines KESTROVA_PACK_SHARE_FROM_BIN (share/kestrova relative to bin)"
#endif
#ifndef KESTROVA_PACK_JAVA_HOME
#error "the build defines KESTROVA_PACK_JAVA_HOME (the JDK it was built against)"
#endif

namespace kestrova::pack {

namespace {

constexpr std::string_view msg_bad_check_interval =
    "--check-interval takes a number of seconds from 0 to 4294967295, not \"{}\"";
constexpr std::string_view msg_bad_name =
    "--name \"{}\" cannot be a bundle's file name (empty, \".\", \"..\", with '/' or over 251 bytes); "
    "choose another";
constexpr std::string_view msg_missing_file = "{} \"{}\" does not exist or is not a regular file; {}";
constexpr std::string_view hint_launcher = "build kestrova (the kestrova-launcher target) or pass --launcher PATH";
constexpr std::string_view hint_support_jar =
    "build kestrova (the kestrova_support_jar target) or pass --support-jar PATH";
constexpr std::string_view hint_jar = "check the --jar path";
constexpr std::string_view msg_missing_updater =
    "--with-updater needs the update framework at \"{}\", which does not exist; build "
    "libkestrova-updater.so next to the launcher template or drop --with-updater";
constexpr std::string_view msg_bad_runtime =
    "the runtime \"{}\" is not a Java home (no lib/server/libjvm.so in it); pass --runtime "
    "JAVA_HOME of a JDK or JRE";
constexpr std::string_view msg_out_not_dir = "--out \"{}\" exists and is not a directory; name a directory";
constexpr std::string_view msg_bundle_exists =
    "\"{}\" already exists; pass --force to replace it or choose another --out or --name";
constexpr std::string_view msg_assemble_failed =
    "could not assemble the bundle: {}; check the free space and permissions in the --out "
    "directory";
constexpr std::string_view msg_empty_out = "--out needs a directory name";
constexpr std::string_view msg_bad_public_ed_key =
    "--public-ed-key takes base64 of a 32-byte Ed25519 public key (the line generate-keys prints), not \"{}\"";
constexpr std::string_view msg_signed_feed_without_key =
    "--require-signed-feed needs --public-ed-key, the key the feed's signature is checked with; add it";
constexpr std::string_view msg_bad_channel =
    "--update-channel \"{}\" is not a channel name: use 1 to 64 ASCII letters, digits, '.', '_' or '-'";
constexpr std::string_view msg_bad_desktop_integration =
    "--desktop-integration takes ask, yes or no, not \"{}\"; give one of those";
constexpr std::string_view msg_entry_option_without_integration =
    "{} is for the menu entries a bundle writes itself; add --desktop-integration ask or yes";
constexpr std::string_view msg_bundle_bad_category =
    "--category \"{}\" is not a category of the freedesktop menu standard (e.g. Utility, "
    "Development, Office, Graphics, Game) nor a private X-NAME one; choose one of those";
constexpr std::string_view msg_bundle_bad_mime_type =
    "--mime-type \"{}\" is not a media type (TYPE/SUBTYPE, e.g. text/x-groovy); write it so";
constexpr std::string_view msg_bundle_definition_lacks =
    "--mime-definition \"{}\" does not define \"{}\"; add a <mime-type type=\"{}\"> to it, or drop that --mime-type";
constexpr std::string_view msg_bad_icon =
    "--icon \"{}\" is not a PNG image; give a PNG file (a square one, 256x256 or larger, looks best)";
constexpr std::string_view msg_icon_name_taken =
    "--icon \"{}\" has the file name of {} in Contents/Resources; rename the icon";
constexpr std::string_view msg_no_jars =
    "missing required option --jar, --main-jar or --input; see kestrova-pack bundle --help";
constexpr std::string_view hint_main_jar = "check the --main-jar path";
constexpr std::string_view msg_no_main_class = "the manifest of \"{}\" names no Main-Class; pass --main-class CLASS";
constexpr std::string_view msg_module_path_carried =
    "note: the bundle carries copies of the module path entries outside it, named in the JVM options by their place "
    "in it: {}";
constexpr std::string_view msg_module_path_item = "{}{} (as &&/{})";
constexpr std::string_view msg_absolute_carried =
    "note: the bundle carries copies of what Class-Path entries name by absolute path, on its class path in their "
    "order: {}";
constexpr std::string_view msg_missing_resource = "--resource \"{}\" does not exist; name a file or a directory";
constexpr std::string_view msg_name_taken =
    "\"{}\" would be written twice into Contents/Resources (by {} and by {}); rename one";
constexpr std::string_view msg_runtime_choices =
    "--jlink and --copy-runtime exclude each other (and the default link to the runtime); give one of them";
constexpr std::string_view msg_add_modules_without_jlink = "{} shapes a runtime made with --jlink; add --jlink";
constexpr std::string_view msg_bad_locales =
    "--locales takes all or a comma-separated list of locales as jlink's --include-locales does (e.g. "
    "en,fi,ru-RU,*-IN), not \"{}\"";
constexpr std::string_view msg_unknown_module =
    "--add-modules names \"{}\", which is not among the JDK's jmods in \"{}\"; check the module name";
constexpr std::string_view msg_warning = "warning: {}";
constexpr std::string_view msg_bad_module_set = "--jlink-modules takes detected or default, not \"{}\"";
constexpr std::string_view msg_input_empty =
    "the --input directory \"{}\" holds no JAR; name the directory that holds the application's JARs";
constexpr std::string_view msg_grants_left_out =
    "the manifest of \"{}\" opens or exports what the runtime \"{}\" lacks, which java -jar ignores, and so does the "
    "bundle: {}";
constexpr std::string_view msg_native_carried =
    "note: the bundle carries the native libraries it loads from outside it in &&/native, where -Djava.library.path "
    "now points: {}";
constexpr std::string_view msg_native_item = "{}{}";
constexpr std::string_view msg_native_needs = " (needs {} on the machine it runs on)";
constexpr std::string_view msg_empty_version =
    "--bundle-version needs a non-empty version, e.g. 1.4.2; the updater cannot start without one";

fs::path default_launcher() {
    return (kestrova::pack::own_directory() / KESTROVA_PACK_LIB_FROM_BIN / "kestrova-launcher").lexically_normal();
}

fs::path default_support_jar() {
    return (kestrova::pack::own_directory() / KESTROVA_PACK_SHARE_FROM_BIN /
            std::string(kestrova::pack::support_jar_name))
        .lexically_normal();
}

void require_regular_file(const fs::path& path, std::string_view what, std::string_view hint) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw PackError(fill(msg_missing_file, {what, path.string(), hint}));
}

void warn(std::string_view text) {
    std::string line(message_prefix);
    line += fill(msg_warning, {text});
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

// A line on standard error that says what the tool decided on its own.
void report_note(std::string_view text) {
    std::string line(message_prefix);
    line += text;
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

// What Contents/Resources will hold, so that no two inputs land on the same path or one inside
// the other (a --resource directory named like a Class-Path entry's directory).
class ResourceNames {
public:
    // False when `path` is already there as the same file (a Class-Path entry that is also an input JAR).
    bool claim(const fs::path& relative, const fs::path& source, const std::string& who) {
        for (const auto& [taken, owner] : taken_) {
            if (taken == relative && same_file(owner.first, source)) return false;
            if (lies_under(taken, relative) || lies_under(relative, taken))
                throw PackError(fill(msg_name_taken, {relative.string(), owner.second, who}));
        }
        taken_.emplace_back(relative, std::make_pair(source, who));
        return true;
    }

private:
    static bool lies_under(const fs::path& path, const fs::path& root) {
        auto p = path.begin();
        for (auto r = root.begin(); r != root.end(); ++r, ++p)
            if (p == path.end() || *p != *r) return false;
        return true;
    }
    std::vector<std::pair<fs::path, std::pair<fs::path, std::string>>> taken_;
};

// The main JAR as given, or, for a relative path that is not there, inside --input (jpackage's way).
fs::path locate_main_jar(const std::string& given, const std::optional<std::string>& input_dir) {
    fs::path path = given;
    std::error_code ec;
    if (!fs::exists(path, ec) && input_dir && path.is_relative() && fs::exists(fs::path(*input_dir) / path, ec))
        path = fs::path(*input_dir) / path;
    require_regular_file(path, "the main JAR", hint_main_jar);
    return path;
}

// The DT_NEEDED names of an ELF file, from binutils' readelf; none when it cannot say.
std::vector<std::string> elf_needed(const fs::path& library) {
    std::vector<std::string> needed;
    ToolResult result;
    try {
        result = kestrova::pack::run_tool({"readelf", "-d", "-W", library.string()});
    } catch (const PackError&) {
        return needed;
    }
    for (const auto& line : kestrova::pack::split_list(result.out, '\n')) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        const auto open = line.find('[');
        const auto close = line.find(']', open);
        if (open != std::string::npos && close != std::string::npos)
            needed.push_back(line.substr(open + 1, close - open - 1));
    }
    return needed;
}

// The native libraries that an absolute -Djava.library.path names and the JARs load by name, and
// --native-library, copied into the bundle (Sweet Home 3D's Java 3D libraries in /usr/lib/jni),
// with the option pointed at the copy: otherwise the bundle runs only where they are installed.
void plan_native_libraries(BundlePlan& plan, const ParsedArgs& args, std::vector<std::string>& jvm_options) {
    std::vector<fs::path> added;
    for (const auto& library : args.values("--native-library")) added.emplace_back(library);
    if (added.empty() && !kestrova::pack::names_absolute_library_path(jvm_options)) return;
    std::set<std::string> names;
    std::vector<fs::path> jars = plan.jars;
    for (const auto& copy : plan.copies)
        if (copy.on_class_path && fs::is_regular_file(copy.source)) jars.push_back(copy.source);
    for (const auto& jar : jars)
        for (auto& name : kestrova::pack::jar_references(jar).library_names) names.insert(std::move(name));
    const std::vector<std::string> library_names(names.begin(), names.end());
    std::string carried;
    for (auto& copy : kestrova::pack::carry_native_libraries(jvm_options, library_names, added)) {
        std::string needs;
        for (const auto& name : kestrova::pack::needed_beyond_base(elf_needed(copy.source)))
            needs += (needs.empty() ? "" : ", ") + name;
        carried += fill(msg_native_item, {carried.empty() ? "" : ", ", copy.source.string()});
        if (!needs.empty()) carried += fill(msg_native_needs, {needs});
        plan.copies.push_back({std::move(copy.source), std::move(copy.destination), false});
    }
    if (!carried.empty()) report_note(fill(msg_native_carried, {carried}));
}

// Leaves out the manifest's openings and exports of modules or packages that `runtime` lacks (JOSM
// names jdk.deploy and com.apple.eawt), which the JVM would warn about at every start, and says so
// in one line. The runtime's own java judges them; with --jlink it is the JDK the runtime is linked
// from, which links every JDK module the manifest names. A runtime whose java does not start
// keeps them all: the bundle is refused or checked later for what matters.
void drop_grants_the_runtime_lacks(kestrova::pack::ManifestLaunch& manifest, const fs::path& runtime,
                                   const fs::path& jar) {
    std::vector<std::string> grants;
    for (const auto& option : manifest.jvm_options)
        if (option.starts_with("--add-opens=") || option.starts_with("--add-exports=")) grants.push_back(option);
    std::error_code ec;
    const fs::path java = runtime / "bin" / "java";
    if (grants.empty() || !fs::is_regular_file(java, ec)) return;
    std::vector<std::string> argv = {java.string()};
    argv.insert(argv.end(), grants.begin(), grants.end());
    argv.insert(argv.end(), {"-Xshare:auto", "-version"});
    const auto result = kestrova::pack::run_tool(argv);
    if (result.status != 0) return;
    const auto lacking = kestrova::pack::grants_the_runtime_lacks(grants, result.err + result.out);
    if (lacking.empty()) return;
    std::string listed;
    for (const auto& option : lacking) {
        listed += (listed.empty() ? "" : ", ") + option;
        std::erase(manifest.jvm_options, option);
    }
    std::erase_if(manifest.modules, [&](const std::string& module) {
        return std::none_of(manifest.jvm_options.begin(), manifest.jvm_options.end(), [&](const std::string& option) {
            return option.find("=" + module + "/") != std::string::npos;
        });
    });
    warn(fill(msg_grants_left_out, {jar.string(), runtime.string(), listed}));
}

// The modules of a runtime made with --jlink: what jdeps finds the class path needs, the service
// providers, the JDK modules that the manifest and the JVM options name, and --add-modules.
void plan_runtime_modules(BundlePlan& plan, const ParsedArgs& args, std::span<const std::string> named_modules) {
    kestrova::pack::require_jlink_jdk(plan.runtime);
    const auto available = kestrova::pack::jdk_modules(plan.runtime);
    const auto in_jdk = [&](std::string_view module) {
        return std::binary_search(available.begin(), available.end(), module);
    };
    std::vector<std::string> asked;
    for (const auto& list : args.values("--add-modules")) {
        for (const auto& module : kestrova::pack::split_list(list, ',')) {
            if (!in_jdk(module)) throw PackError(fill(msg_unknown_module, {module, (plan.runtime / "jmods").string()}));
            asked.push_back(module);
        }
    }
    plan.link.all_locales = std::find(asked.begin(), asked.end(), "jdk.localedata") != asked.end() ||
                            kestrova::pack::selects_legacy_locale_data(plan.jvm_options);
    if (const auto locales = args.value("--locales")) {
        if (*locales == "all")
            plan.link.all_locales = true;
        else
            plan.link.locales = *locales;
    }
    plan.link.keep_debug_info = args.has("--keep-debug-info");

    kestrova::pack::RuntimeModuleRequest request;
    request.jdk = plan.runtime;
    request.jars = plan.jars;
    for (const auto& copy : plan.copies)
        // A directory on the class path (a conf/ of resources) is searched by the JVM but is no JAR to
        // analyse.
        if (copy.on_class_path && !fs::is_directory(copy.source)) request.jars.push_back(copy.source);
    request.support_jar = plan.support_jar;
    request.named.assign(named_modules.begin(), named_modules.end());
    request.asked = asked;
    if (const auto set = args.value("--jlink-modules")) {
        if (*set != "detected" && *set != "default") throw UsageError(fill(msg_bad_module_set, {*set}));
        request.set = *set == "detected" ? kestrova::pack::ModuleSet::detected : kestrova::pack::ModuleSet::jdk_default;
    }
    auto chosen = kestrova::pack::choose_runtime_modules(request);
    for (const auto& note : chosen.notes) report_note(note);
    plan.runtime_modules = std::move(chosen.modules);
}

// The menu entries a bundle writes for itself, checked here as desktop-entry checks its own
// options; the types' definition travels in Contents/Resources.
void plan_desktop_integration(BundlePlan& plan, kestrova::pack::PlistFields& plist, const ParsedArgs& args) {
    const auto mode = args.value("--desktop-integration");
    if (mode && *mode != "ask" && *mode != "yes" && *mode != "no")
        throw UsageError(fill(msg_bad_desktop_integration, {*mode}));
    const bool integrates = mode && *mode != "no";
    for (const char* option : {"--category", "--mime-type", "--mime-definition"})
        if (!integrates && args.has(option)) throw UsageError(fill(msg_entry_option_without_integration, {option}));
    if (!integrates) return;
    plist.desktop_integration = *mode;
    plist.desktop_categories = args.values("--category");
    for (const auto& category : plist.desktop_categories)
        if (!kestrova::pack::is_known_category(category)) throw UsageError(fill(msg_bundle_bad_category, {category}));
    plist.desktop_mime_types = args.values("--mime-type");
    for (const auto& type : plist.desktop_mime_types)
        if (!kestrova::pack::is_media_type(type)) throw UsageError(fill(msg_bundle_bad_mime_type, {type}));
    if (const auto definition = args.value("--mime-definition")) {
        require_regular_file(*definition, "the --mime-definition", "check its path");
        const auto defined = kestrova::pack::mime_types_defined_in(*definition);
        for (const auto& type : plist.desktop_mime_types)
            if (std::find(defined.begin(), defined.end(), type) == defined.end() &&
                !kestrova::pack::is_known_mime_type(type, std::vector<fs::path>{"/usr/share"}))
                throw PackError(fill(msg_bundle_definition_lacks, {*definition, type, type}));
        plan.mime_definition = fs::path(*definition);
    }
}

}  // namespace

BundlePlan plan_bundle(const ParsedArgs& args) {
    BundlePlan plan;
    plan.name = args.required("--name", "bundle");
    if (!kestrova::pack::is_valid_bundle_name(plan.name)) throw UsageError(fill(msg_bad_name, {plan.name}));
    plan.out_dir = args.required("--out", "bundle");
    if (plan.out_dir.empty()) throw UsageError(std::string(msg_empty_out));
    const auto input_dir = args.value("--input");
    std::optional<fs::path> main_jar;
    kestrova::pack::ManifestLaunch manifest;
    if (const auto given = args.value("--main-jar")) {
        main_jar = locate_main_jar(*given, input_dir);
        const auto text = kestrova::pack::read_jar_manifest(*main_jar);
        manifest = kestrova::pack::manifest_launch(kestrova::pack::parse_manifest(text.value_or("")),
                                                   main_jar->string());
        if (!manifest.main_class && !args.has("--main-class"))
            throw PackError(fill(msg_no_main_class, {main_jar->string()}));
        std::error_code ec;
        drop_grants_the_runtime_lacks(manifest,
                                      fs::absolute(args.value("--runtime").value_or(KESTROVA_PACK_JAVA_HOME), ec),
                                      *main_jar);
    }
    auto fields = record_fields(args, "bundle", manifest.main_class);
    if (const auto refusal = kestrova::pack::two_word_option_refusal(fields.jvm_options)) throw UsageError(*refusal);
    const auto module_copies = kestrova::pack::carry_module_paths(fields.jvm_options);
    plan.main_class = fields.main_class;

    if (main_jar) plan.jars.push_back(*main_jar);
    for (const auto& jar : args.values("--jar")) {
        plan.jars.emplace_back(jar);
        require_regular_file(plan.jars.back(), "the JAR", hint_jar);
    }
    if (input_dir) {
        const auto found = kestrova::pack::jars_in_directory(*input_dir, warn);
        if (found.empty()) throw PackError(fill(msg_input_empty, {*input_dir}));
        for (const auto& jar : found)
            if (!main_jar || !same_file(jar, *main_jar)) plan.jars.push_back(jar);
    }
    if (plan.jars.empty()) throw UsageError(std::string(msg_no_jars));

    std::vector<std::string> jar_names;
    for (const auto& jar : plan.jars) jar_names.push_back(jar.filename().string());
    // Names the class path cannot carry, or two JARs of one name, are refused here first.
    kestrova::pack::bundle_jvm_options(jar_names, {});
    ResourceNames names;
    names.claim(std::string(kestrova::pack::support_jar_name), {}, "the support JAR");
    for (const auto& jar : plan.jars) names.claim(jar.filename(), jar, "the JAR " + jar.string());
    // What the Class-Path of each JAR names goes where the JVM looks for it relative to that JAR;
    // what it names by absolute path is copied in and named on the bundle's own class path.
    std::vector<std::vector<std::string>> carried_after(plan.jars.size());
    std::string carried;
    for (auto& file : kestrova::pack::follow_class_paths(plan.jars, warn)) {
        if (!names.claim(file.destination, file.source, "the Class-Path of " + file.named_by)) continue;
        if (file.absolute) {
            carried_after[file.top_jar].push_back(file.destination.string());
            carried += (carried.empty() ? "" : ", ") + file.source.string();
        }
        plan.copies.push_back({std::move(file.source), std::move(file.destination), true});
    }
    if (!carried.empty()) report_note(fill(msg_absolute_carried, {carried}));
    jar_names.clear();
    for (std::size_t i = 0; i < plan.jars.size(); ++i) {
        jar_names.push_back(plan.jars[i].filename().string());
        jar_names.insert(jar_names.end(), carried_after[i].begin(), carried_after[i].end());
    }
    plan_native_libraries(plan, args, fields.jvm_options);
    fields.jvm_options = kestrova::pack::bundle_jvm_options(jar_names, fields.jvm_options);
    std::string modules_carried;
    for (const auto& copy : module_copies) {
        if (names.claim(copy.destination, copy.source, "--module-path " + copy.source.string()))
            plan.copies.push_back({copy.source, copy.destination, false});
        modules_carried += fill(msg_module_path_item,
                                {modules_carried.empty() ? "" : ", ", copy.source.string(), copy.destination.string()});
    }
    if (!modules_carried.empty()) report_note(fill(msg_module_path_carried, {modules_carried}));
    for (const auto& resource : args.values("--resource")) {
        std::error_code ec;
        if (!fs::exists(resource, ec)) throw PackError(fill(msg_missing_resource, {resource}));
        fs::path normal = fs::absolute(resource, ec).lexically_normal();
        if (normal.filename().empty()) normal = normal.parent_path();
        if (names.claim(normal.filename(), resource, "--resource " + resource))
            plan.copies.push_back({resource, normal.filename(), false});
    }

    // The manifest's grants come before the user's own options, which may add to them.
    std::vector<std::string> options = manifest.jvm_options;
    const auto user_options_from = options.size();
    options.insert(options.end(), fields.jvm_options.begin() + 2, fields.jvm_options.end());
    fields.jvm_options.resize(2);
    fields.jvm_options.insert(fields.jvm_options.end(), options.begin(), options.end());
    plan.jvm_options = fields.jvm_options;
    const auto record = encode_record(fields);
    std::vector<std::string> named_modules = manifest.modules;
    for (const auto& module :
         kestrova::pack::modules_named_in_options(std::span<const std::string>(options).subspan(user_options_from)))
        named_modules.push_back(module);

    const fs::path launcher = args.value("--launcher").value_or(default_launcher().string());
    require_regular_file(launcher, "the launcher template", hint_launcher);
    plan.launcher = burn_template(launcher, record);
    plan.launcher_mode = kestrova::pack::permission_bits(launcher);
    try {
        for (const auto& added : parse_added_launchers(args.values("--add-launcher"), plan.name)) {
            plan.added_launchers.emplace_back(added.name,
                                              burn_template(launcher,
                                                            encode_record(added_launcher_fields(fields, added))));
            plan.added_main_classes.push_back(added.main_class);
        }
    } catch (const UsageError&) {
        throw;
    } catch (const PackError& e) {
        // A value that is no command: the command line is wrong, whatever the launcher holds.
        throw UsageError(e.what());
    }

    plan.support_jar = args.value("--support-jar").value_or(default_support_jar().string());
    require_regular_file(plan.support_jar, "the support JAR", hint_support_jar);

    if (args.has("--with-updater")) {
        const fs::path updater = launcher.parent_path() / kestrova::platform::update_framework_file_name();
        std::error_code ec;
        if (!fs::is_regular_file(updater, ec)) throw PackError(fill(msg_missing_updater, {updater.string()}));
        plan.updater = updater;
    }

    std::error_code ec;
    plan.runtime = fs::absolute(args.value("--runtime").value_or(KESTROVA_PACK_JAVA_HOME), ec);
    if (ec || !fs::is_regular_file(plan.runtime / "lib/server/libjvm.so", ec))
        throw PackError(fill(msg_bad_runtime, {plan.runtime.string()}));
    plan.copy_runtime = args.has("--copy-runtime");
    plan.jlink = args.has("--jlink");
    if (plan.jlink && plan.copy_runtime) throw UsageError(std::string(msg_runtime_choices));
    for (const char* option : {"--add-modules", "--jlink-modules", "--locales", "--keep-debug-info"})
        if (!plan.jlink && args.has(option)) throw UsageError(fill(msg_add_modules_without_jlink, {option}));
    if (const auto locales = args.value("--locales");
        locales && *locales != "all" && !kestrova::pack::is_locale_list(*locales))
        throw UsageError(fill(msg_bad_locales, {*locales}));

    kestrova::pack::PlistFields plist;
    plist.executable = plan.name;
    plist.name = plan.name;
    plist.identifier = args.value("--bundle-identifier").value_or(kestrova::pack::default_bundle_identifier(plan.name));
    plist.version = args.value("--bundle-version").value_or("1.0");
    // An empty version can never be updated: the updater does not start without one, and the
    // gate lets such a bundle start whatever the update site says. Refused here, where it is made.
    if (plist.version.empty()) throw UsageError(std::string(msg_empty_version));
    plist.feed_url = args.value("--feed-url");
    plist.automatic_checks = args.has("--automatic-checks");
    plist.user_jvm_options = args.has("--user-jvm-options");
    plist.class_data = !args.has("--no-class-data");
    if (const auto text = args.value("--check-interval")) {
        const auto parsed = kestrova::pack::parse_number(*text, 0xFFFFFFFFu);
        if (!parsed) throw UsageError(fill(msg_bad_check_interval, {*text}));
        plist.check_interval = *parsed;
    }
    if (const auto key = args.value("--public-ed-key")) {
        if (!kestrova::protocol::ed25519::public_key_from_base64(*key))
            throw UsageError(fill(msg_bad_public_ed_key, {*key}));
        plist.public_ed_key = *key;
    }
    plist.require_signed_feed = args.has("--require-signed-feed");
    if (plist.require_signed_feed && !plist.public_ed_key) throw UsageError(std::string(msg_signed_feed_without_key));
    for (const std::string& channel : args.values("--update-channel")) {
        if (!kestrova::protocol::is_channel_name(channel)) throw UsageError(fill(msg_bad_channel, {channel}));
        if (std::find(plist.update_channels.begin(), plist.update_channels.end(), channel) ==
            plist.update_channels.end())
            plist.update_channels.push_back(channel);
    }
    if (const auto icon = args.value("--icon")) {
        plan.icon = *icon;
        require_regular_file(*plan.icon, "the icon", "check the --icon path");
        if (!kestrova::pack::is_png(kestrova::pack::read_file(*plan.icon)))
            throw PackError(fill(msg_bad_icon, {*icon}));
        const std::string icon_name = plan.icon->filename().string();
        if (icon_name == kestrova::pack::support_jar_name ||
            std::find(jar_names.begin(), jar_names.end(), icon_name) != jar_names.end())
            throw PackError(fill(msg_icon_name_taken, {*icon, "a JAR"}));
        // A --resource or a Class-Path entry at the top of Contents/Resources would overwrite it.
        for (const auto& copy : plan.copies)
            if (!copy.destination.empty() && *copy.destination.begin() == icon_name)
                throw PackError(fill(msg_icon_name_taken, {*icon, "a --resource or a Class-Path entry"}));
        plist.icon_file = icon_name;
    }
    plan_desktop_integration(plan, plist, args);
    plan.info_plist = kestrova::pack::info_plist_xml(plist);

    if (fs::exists(plan.out_dir, ec) && !fs::is_directory(plan.out_dir, ec))
        throw PackError(fill(msg_out_not_dir, {plan.out_dir.string()}));
    plan.bundle = plan.out_dir / (plan.name + ".app");
    plan.force = args.has("--force");
    if (!plan.force && fs::exists(fs::symlink_status(plan.bundle, ec)))
        throw PackError(fill(msg_bundle_exists, {plan.bundle.string()}));
    // Last: jdeps takes seconds, and everything cheaper to refuse has been checked.
    if (plan.jlink) plan_runtime_modules(plan, args, named_modules);
    return plan;
}

namespace {

void write_text(const fs::path& path, std::string_view text) {
    kestrova::pack::write_file_atomically(path, std::span<const char>(text.data(), text.size()), 0644);
}

// True when `path` (canonical) is `root` (canonical) or lies under it.
bool lies_within(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

// A copied runtime is for machines without the JDK it came from, so nothing in it may lead back out:
// a link whose target lies outside the runtime (Debian's JDK links its configuration and certificate
// store to /etc) becomes a copy of that target. The runtime's own links within it stay links.
// Links that lead nowhere stay as they are.
void make_self_contained(const fs::path& source_root, const fs::path& copy_root) {
    std::vector<std::pair<fs::path, fs::path>> outside;  // (link in the copy, what it leads to)
    for (const auto& entry : fs::recursive_directory_iterator(copy_root)) {
        if (!entry.is_symlink()) continue;
        std::error_code ec;
        // Lexically: fs::relative would resolve the link itself first.
        const fs::path target = fs::canonical(source_root / entry.path().lexically_relative(copy_root), ec);
        if (!ec && !lies_within(target, source_root)) outside.emplace_back(entry.path(), target);
    }
    for (const auto& [link, target] : outside) {
        fs::remove(link);
        fs::copy(target, link, fs::copy_options::recursive);  // follows links: copies what they lead to
    }
}

void assemble(const BundlePlan& plan, const fs::path& root) {
    namespace layout = kestrova::bundle_layout;
    const fs::path executables = layout::executables_of(root);
    fs::create_directories(executables);
    kestrova::pack::write_file_atomically(executables / plan.name, plan.launcher, plan.launcher_mode);
    for (const auto& [name, image] : plan.added_launchers)
        kestrova::pack::write_file_atomically(executables / name, image, plan.launcher_mode);
    write_text(layout::info_plist_of(root), plan.info_plist);

    const fs::path resources = layout::resources_of(root);
    fs::create_directories(resources);
    for (const auto& jar : plan.jars) fs::copy_file(jar, resources / jar.filename());
    fs::copy_file(plan.support_jar, resources / std::string(kestrova::pack::support_jar_name));
    if (plan.icon) fs::copy_file(*plan.icon, resources / plan.icon->filename());
    if (plan.mime_definition)
        fs::copy_file(*plan.mime_definition, resources / std::string(kestrova::desktop_mime_definition_file));
    for (const auto& copy : plan.copies) {
        const fs::path to = resources / copy.destination;
        fs::create_directories(to.parent_path());
        // Links are followed: the bundle carries what they lead to, never a path of this machine.
        if (fs::is_directory(copy.source))
            fs::copy(copy.source, to, fs::copy_options::recursive);
        else
            fs::copy_file(copy.source, to);
    }

    const fs::path home = layout::runtime_home_of(root);
    fs::create_directories(home.parent_path());
    if (plan.jlink) {
        kestrova::pack::link_runtime(plan.runtime, plan.runtime_modules, home, plan.link);
    } else if (plan.copy_runtime) {
        const fs::path source = fs::canonical(plan.runtime);
        fs::copy(source, home, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        make_self_contained(source, home);
    } else {
        fs::create_directory_symlink(plan.runtime, home);
    }

    if (plan.updater) {
        fs::create_directories(layout::frameworks_of(root));
        fs::copy_file(*plan.updater, layout::frameworks_of(root) / kestrova::platform::update_framework_file_name());
    }
}

// A runtime made by jlink may lack a module the application needs: it must start a JVM with the
// bundle's own options and load the main class before the bundle takes its place.
void check_linked_runtime(const BundlePlan& plan, const fs::path& root) {
    const std::string app_dir = fs::canonical(kestrova::bundle_layout::resources_of(root)).string();
    std::vector<std::string> options;
    const char* home = std::getenv("HOME");
    for (const auto& option : plan.jvm_options)
        options.push_back(kestrova::expand_option_tokens(option, app_dir, home != nullptr ? home : ""));
    kestrova::pack::check_runtime_loads_main(kestrova::bundle_layout::runtime_home_of(root), options, plan.main_class,
                                             plan.runtime);
    for (std::size_t i = 0; i < plan.added_main_classes.size(); ++i) {
        try {
            kestrova::pack::check_runtime_loads_main(kestrova::bundle_layout::runtime_home_of(root), options,
                                                     plan.added_main_classes[i], plan.runtime);
        } catch (const PackError& e) {
            // The check's advice names --main-class; the class came from this --add-launcher.
            throw PackError("--add-launcher " + plan.added_launchers[i].first + ": " + e.what());
        }
    }
}

}  // namespace

void make_bundle(const BundlePlan& plan) {
    std::optional<kestrova::pack::TemporaryDirectory> staging;
    try {
        fs::create_directories(plan.out_dir);
        staging.emplace(plan.out_dir, kestrova::pack::hidden_name(plan.bundle, ".kestrova-pack-"));
        // mkdtemp makes the directory 0700; a bundle is as readable as any installed application.
        fs::permissions(staging->path(), fs::perms(0755));
        assemble(plan, staging->path());
        if (plan.jlink) check_linked_runtime(plan, staging->path());
    } catch (const fs::filesystem_error& e) {
        const std::string where = e.path1().empty() ? e.code().message()
                                                    : e.code().message() + " at " + e.path1().string();
        throw PackError(fill(msg_assemble_failed, {where}));
    }
    // Without --force the last step itself refuses to replace: another run may have put its bundle
    // there since the check at planning time.
    if (plan.force)
        kestrova::pack::replace_with(staging->path(), plan.bundle);
    else if (!kestrova::pack::rename_without_replacing(staging->path(), plan.bundle))
        throw PackError(fill(msg_bundle_exists, {plan.bundle.string()}));
    staging->release();
}

}  // namespace kestrova::pack
