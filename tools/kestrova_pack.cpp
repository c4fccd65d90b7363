// kestrova-pack: burns a launch record into a copy of the launcher template, shows the record of a
// burned launcher, and assembles an application bundle around one.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/burned_in_data.h"
#include "sparkle/ed25519.h"
#include "tools/ed25519_keys.h"
#include "tools/desktop_entry.h"
#include "launcher/launch_plan.h"
#include "tools/bundle_inputs.h"
#include "tools/file_ops.h"
#include "tools/jar_manifest.h"
#include "tools/jlink_runtime.h"
#include "tools/packaging.h"
#include "tools/release.h"

#ifndef KESTROVA_PACK_LIB_FROM_BIN
#error "the build defines KESTROVA_PACK_LIB_FROM_BIN (lib/kestrova relative to bin)"
#endif
#ifndef KESTROVA_PACK_SHARE_FROM_BIN
#error "the build defines KESTROVA_PACK_SHARE_FROM_BIN (share/kestrova relative to bin)"
#endif
#ifndef KESTROVA_PACK_JAVA_HOME
#error "the build defines KESTROVA_PACK_JAVA_HOME (the JDK it was built against)"
#endif

namespace {

namespace fs = std::filesystem;
using kestrova::pack::fill;
using kestrova::pack::PackError;

// --- Exit statuses and messages -----------------------------------------------------------------

constexpr int exit_failure = 1;  // the inputs cannot be packaged, or a file operation failed
constexpr int exit_usage = 2;    // the command line itself is wrong

constexpr std::string_view message_prefix = "kestrova-pack: ";

constexpr std::string_view msg_unknown_command =
    "unknown command \"{}\"; the commands are burn, inspect, bundle, desktop-entry, generate-keys, sign-update "
    "and release (see kestrova-pack --help)";
constexpr std::string_view msg_no_command =
    "no command given; run kestrova-pack --help for the commands";
constexpr std::string_view msg_unknown_option =
    "unknown option \"{}\" for {}; see kestrova-pack {} --help";
constexpr std::string_view msg_needs_value = "{} needs a value; see kestrova-pack {} --help";
constexpr std::string_view msg_takes_no_value = "{} takes no value; see kestrova-pack {} --help";
constexpr std::string_view msg_given_twice = "{} is given more than once; give it once";
constexpr std::string_view msg_missing_option =
    "missing required option {}; see kestrova-pack {} --help";
constexpr std::string_view msg_operands = "{} takes {}; see kestrova-pack {} --help";
constexpr std::string_view msg_bad_flags =
    "--flags takes a number from 0 to 255 (decimal or 0x hex), not \"{}\"";
constexpr std::string_view msg_flags_and_switches =
    "--flags cannot be combined with {}; give the flag byte or the switches, not both";
constexpr std::string_view msg_bad_stack_size =
    "--stack-size takes a number of bytes from 0 to 4294967295 (decimal or 0x hex), not \"{}\"";
constexpr std::string_view msg_small_stack_size =
    "--stack-size {} is too small for the JVM: it needs at least {} bytes (136 KiB), or 0 for the "
    "system's default stack";
constexpr std::string_view msg_bad_check_interval =
    "--check-interval takes a number of seconds from 0 to 4294967295, not \"{}\"";
constexpr std::string_view msg_empty_main_class = "--main-class needs a non-empty class name";
constexpr std::string_view msg_record = "{}; use fewer or shorter JVM options and arguments";
constexpr std::string_view msg_output_is_dir =
    "the output \"{}\" is a directory; name the file to write";
constexpr std::string_view msg_output_not_regular =
    "the output \"{}\" exists and is not a regular file (a link, device, pipe or socket); remove it "
    "or name another file to write";
constexpr std::string_view msg_bad_name =
    "--name \"{}\" cannot be a bundle's file name (empty, \".\", \"..\", with '/' or over 251 bytes); "
    "choose another";
constexpr std::string_view msg_missing_file =
    "{} \"{}\" does not exist or is not a regular file; {}";
constexpr std::string_view hint_launcher =
    "build kestrova (the kestrova-launcher target) or pass --launcher PATH";
constexpr std::string_view hint_support_jar =
    "build kestrova (the kestrova_support_jar target) or pass --support-jar PATH";
constexpr std::string_view hint_jar = "check the --jar path";
constexpr std::string_view msg_missing_updater =
    "--with-updater needs the update framework at \"{}\", which does not exist; build "
    "libkestrova-updater.so next to the launcher template or drop --with-updater";
constexpr std::string_view msg_bad_runtime =
    "the runtime \"{}\" is not a Java home (no lib/server/libjvm.so in it); pass --runtime "
    "JAVA_HOME of a JDK or JRE";
constexpr std::string_view msg_out_not_dir =
    "--out \"{}\" exists and is not a directory; name a directory";
constexpr std::string_view msg_bundle_exists =
    "\"{}\" already exists; pass --force to replace it or choose another --out or --name";
constexpr std::string_view msg_assemble_failed =
    "could not assemble the bundle: {}; check the free space and permissions in the --out "
    "directory";
// Names the launcher before the reason its area cannot be burned, in the usual "file: problem" form.
constexpr std::string_view msg_in_launcher = "{}: ";
constexpr std::string_view msg_empty_out = "--out needs a directory name";
constexpr std::string_view msg_cannot_print = "could not print the record ({}); check where the output goes";
constexpr std::string_view msg_cannot_print_key =
    "could not print the public key ({}), so no key file was kept; run generate-keys again with standard output "
    "on a terminal or a file";
constexpr std::string_view msg_bad_public_ed_key =
    "--public-ed-key takes base64 of a 32-byte Ed25519 public key (the line generate-keys prints), not \"{}\"";
constexpr std::string_view msg_bad_source_date_epoch =
    "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not \"{}\"; set it so or unset it";
constexpr std::string_view msg_bad_icon =
    "--icon \"{}\" is not a PNG image; give a PNG file (a square one, 256x256 or larger, looks best)";
constexpr std::string_view msg_icon_name_taken =
    "--icon \"{}\" has the file name of {} in Contents/Resources; rename the icon";
constexpr std::string_view msg_bad_category =
    "--category \"{}\" is not a category of the freedesktop menu standard (e.g. Utility, "
    "Development, Office, Graphics, Game) nor a private X-NAME one; choose one of those";
constexpr std::string_view msg_remove_with_options =
    "--remove takes no {}; give only the bundle and --dir";
constexpr std::string_view msg_entry_written = "desktop entry written: {}\n";
constexpr std::string_view msg_entry_removed = "desktop entry removed: {}\n";
constexpr std::string_view msg_no_jars =
    "missing required option --jar, --main-jar or --input; see kestrova-pack bundle --help";
constexpr std::string_view hint_main_jar = "check the --main-jar path";
constexpr std::string_view msg_no_main_class =
    "the manifest of \"{}\" names no Main-Class; pass --main-class CLASS";
constexpr std::string_view msg_missing_class_path =
    "the Class-Path of \"{}\" names \"{}\", which does not exist at \"{}\"; put it there or drop it from the "
    "manifest";
constexpr std::string_view msg_missing_resource =
    "--resource \"{}\" does not exist; name a file or a directory";
constexpr std::string_view msg_name_taken =
    "\"{}\" would be written twice into Contents/Resources (by {} and by {}); rename one";
constexpr std::string_view msg_runtime_choices =
    "--jlink and --copy-runtime exclude each other (and the default link to the runtime); give one of them";
constexpr std::string_view msg_add_modules_without_jlink =
    "--add-modules chooses the modules of a runtime made with --jlink; add --jlink";
constexpr std::string_view msg_unknown_module =
    "--add-modules names \"{}\", which is not among the JDK's jmods in \"{}\"; check the module name";
constexpr std::string_view msg_warning = "warning: {}";
constexpr std::string_view msg_modules_by_text =
    "note: --jlink adds {}, named only by text in the JARs (loaded by name); --add-modules is not needed for them";
constexpr std::string_view msg_module_by_text_item = "{}{} (for {} in {})";
constexpr std::string_view msg_input_empty =
    "the --input directory \"{}\" holds no JAR; name the directory that holds the application's JARs";
constexpr std::string_view msg_empty_version =
    "--bundle-version needs a non-empty version, e.g. 1.4.2; the updater cannot start without one";

// A wrong command line: the same one-line report, another exit status.
class UsageError : public PackError {
public:
    using PackError::PackError;
};

// --- Help ---------------------------------------------------------------------------------------

constexpr std::string_view help_main = R"(Usage: kestrova-pack COMMAND [OPTIONS]

Packages a Java desktop application with the kestrova launcher.

Commands:
  burn      write a launch record into a copy of the launcher template
  inspect   print the launch record of a burned launcher
  bundle    assemble an application bundle (NAME.app) with a burned launcher
  generate-keys  make the Ed25519 key pair that signs updates
  sign-update    print the signature attributes of an update archive
  release   make a release site: archive, appcast.xml and metadata.properties
  desktop-entry  put a bundle into the desktop's application menu (or take it out)

Run "kestrova-pack COMMAND --help" for a command's options.
Exit status: 0 done, 1 the inputs cannot be packaged or a file operation failed,
2 the command line is wrong. Nothing is written when the status is not 0.
)";

constexpr std::string_view help_record_options = R"(
Launch record options:
  --main-class CLASS     the application's main class (required), e.g. com.example.Main
  --stack-size BYTES     stack size of the JVM thread, 139264 (136 KiB) to 4294967295, or 0 for
                         the system's default (default 2097152)
  --jvm-option OPTION    a JVM option, e.g. -Xmx512m (repeatable, kept in order)
  --arg ARG              an argument passed to main before the command line's (repeatable)
  --flags N              the whole flag byte, 0..255, decimal or 0x hex; or the switches:
  --main-thread          run the JVM on the main thread (bit 0)
  --console              console application, no GUI start-up (bit 1)
  --flag-bit2            set bit 2
  --aggressive-updates   aggressive update checks (bit 3)
  --flag-bit4            set bit 4
Values may also be written --option=VALUE. A record holds at most 255 JVM options and
255 arguments and is at most 16462 bytes: the reserved area is 16463, and at least one '_'
stays after the record to mark its end.
)";

constexpr std::string_view help_burn = R"(Usage: kestrova-pack burn IN OUT --main-class CLASS [OPTIONS]

Copies the launcher template IN to OUT with a launch record written at the start of its
reserved area (the one run of exactly 16463 '_' bytes followed by a NUL); everything else,
including the rest of the area, stays as it was. OUT keeps IN's permission bits. OUT is
written under a temporary name and renamed into place, so it is never half-written; an
OUT that exists must be a regular file (never a link, device or pipe).
An already burned launcher has no reserved area left: burn a fresh copy of the template.
)";

constexpr std::string_view help_inspect = R"(Usage: kestrova-pack inspect FILE

Prints the launch record of a burned launcher, one "key: value" item a line:
  flags: 0x14 (flag_bit2 flag_bit4)       the flag byte and the names of its set bits
  jvm_on_main_thread: false               then console, flag_bit2, aggressive_updates,
                                          flag_bit4 likewise (true or false)
  stack_size: 2097152
  main_class: com.example.Main
  jvm_option_count: 2
  jvm_option: -Xmx512m                    one line per option, in order
  app_arg_count: 1
  app_arg: --verbose                      one line per argument, in order
  record_size: 61                         bytes of the record in the area
  area_offset: 83104                      byte offset of the reserved area in FILE
Backslashes and control characters in values are written as \\, \n, \r, \t or \xHH.
)";

constexpr std::string_view help_bundle =
    R"(Usage: kestrova-pack bundle --name NAME --out DIR --main-class CLASS --jar JAR... [OPTIONS]
       kestrova-pack bundle --name NAME --out DIR --main-jar JAR [--input DIR] [OPTIONS]

Assembles DIR/NAME.app:
  Contents/MacOS/NAME             the launcher with the launch record burned in
  Contents/Info.plist             CFBundleExecutable, CFBundleIdentifier, CFBundleName,
                                  CFBundleVersion, SUFeedURL (only with --feed-url)
  Contents/Resources/             the JARs, kestrova-support.jar and the --resource files
                                  (the app directory)
  Contents/runtime/Contents/Home  a link to the Java runtime, a copy of it, or one made by jlink
  Contents/Frameworks/            libkestrova-updater.so (only with --with-updater)
The record's JVM options are -Djava.class.path=&&/kestrova-support.jar:&&/JAR:...,
-Dapp.dir=&&, the main JAR's manifest options, then the --jvm-option values; the launcher
replaces && with the app directory. A JVM started by the launcher takes each option whole:
give --add-opens=X, never --add-opens X (refused).
The bundle is built in a temporary directory in DIR and renamed into place at the end.

Bundle options:
  --name NAME                the application's name (required)
  --out DIR                  where NAME.app goes (required; created if missing)
  --jar JAR                  an application JAR (repeatable, class path order)
  --runtime JAVA_HOME        the Java runtime (default: )" KESTROVA_PACK_JAVA_HOME R"()
  --copy-runtime             copy the runtime into the bundle instead of linking it
  --jlink                    make a runtime for the application with the JDK's jlink from the
                             --runtime JDK's jmods: the modules jdeps finds the JARs need, the
                             service providers applications meet at run time (jdk.crypto.ec,
                             jdk.charsets, jdk.zipfs, jdk.localedata with the JDK's own
                             languages), the modules of JDK classes the JARs name only as
                             text (Class.forName strings, META-INF/services types; said in one
                             line), stripped, compressed, with a class-data sharing
                             archive; checked by loading the main class with it
  --add-modules LIST         more modules for --jlink, comma-separated (repeatable);
                             jdk.localedata here keeps every locale
  --main-jar JAR             the main JAR: first on the class path; Main-Class, Add-Opens,
                             Add-Exports and Enable-Native-Access of its manifest applied as
                             java -jar applies them, its relative Class-Path entries copied
                             beside it (a relative JAR is also looked for in --input DIR)
  --input DIR                every JAR directly in DIR, in name order (links to nothing skipped
                             with a warning)
  --resource PATH            a file or directory copied into Contents/Resources (repeatable)
  --bundle-version V         CFBundleVersion (default 1.0)
  --bundle-identifier ID     CFBundleIdentifier (default app.kestrova.NAME, lowercased,
                             other characters than letters and digits made '-')
  --feed-url URL             SUFeedURL, the update feed
  --public-ed-key BASE64     SUPublicEDKey, the key updates are verified with (the line
                             kestrova-pack generate-keys printed)
  --automatic-checks         SUEnableAutomaticChecks: the updater checks on a schedule
  --check-interval SECONDS   SUScheduledCheckInterval (the updater's default is 86400;
                             below 3600 counts as 3600, 0 turns scheduled checks off)
  --with-updater             add libkestrova-updater.so from next to the launcher template
  --icon PNG                 the application's icon, copied into Contents/Resources and named
                             in Info.plist (CFBundleIconFile); desktop-entry uses it
  --no-class-data            keep no class-data archive for faster starts (a GUI bundle keeps
                             one per user by default; KESTROVA_NO_CLASS_DATA=1 skips it once)
  --force                    replace an existing DIR/NAME.app
  --launcher PATH            the launcher template (default: lib/kestrova/kestrova-launcher
                             next to this tool's installation)
  --support-jar PATH         the support JAR (default: share/kestrova/kestrova-support.jar)
)";

constexpr std::string_view help_desktop_entry =
    R"(Usage: kestrova-pack desktop-entry BUNDLE.app [--dir DIR] [--category C]... [--remove]

Writes a freedesktop desktop entry for the bundle, so that it appears in the desktop's
application menu, into DIR (default: $XDG_DATA_HOME/applications, or
~/.local/share/applications), named after the bundle's CFBundleIdentifier:
  Name            CFBundleName
  Exec, TryExec   the bundle's launcher by its absolute path (Exec with %U)
  Icon            the bundle's CFBundleIconFile, or the theme's application-x-executable
  Terminal        true for a --console application
  Categories      the --category values, in order
  StartupWMClass  the WM_CLASS of the application's windows, so the dock groups them under
                  the entry: the main class with '.' made '-', as AWT derives it when the
                  main thread opens the first window (check with xprop WM_CLASS)
Other entries in DIR for the same bundle are removed. Move or delete the bundle and its
entry disappears from the menu (TryExec); --remove deletes it.

Options:
  --dir DIR          the applications directory (created if missing)
  --category C       a menu category, e.g. Utility, Development, Office (repeatable)
  --wm-class NAME    StartupWMClass, for an application that opens its first window from
                     another thread than its main thread
  --remove           remove the bundle's entries from DIR instead (the bundle may be gone)
)";

// --- Command line -------------------------------------------------------------------------------

struct OptionRule {
    std::string_view name;
    bool takes_value;
    bool repeatable;
};

constexpr OptionRule record_option_rules[] = {
    {"--main-class", true, false},   {"--stack-size", true, false},  {"--jvm-option", true, true},
    {"--arg", true, true},           {"--flags", true, false},       {"--main-thread", false, false},
    {"--console", false, false},     {"--flag-bit2", false, false},  {"--aggressive-updates", false, false},
    {"--flag-bit4", false, false},
};

constexpr OptionRule bundle_option_rules[] = {
    {"--name", true, false},           {"--out", true, false},          {"--jar", true, true},
    {"--runtime", true, false},        {"--copy-runtime", false, false}, {"--bundle-version", true, false},
    {"--bundle-identifier", true, false}, {"--feed-url", true, false}, {"--with-updater", false, false},
    {"--force", false, false},         {"--launcher", true, false},      {"--support-jar", true, false},
    {"--automatic-checks", false, false}, {"--check-interval", true, false},
    {"--public-ed-key", true, false},     {"--icon", true, false},
    {"--jlink", false, false},         {"--add-modules", true, true},    {"--main-jar", true, false},
    {"--input", true, false},          {"--resource", true, true},      {"--no-class-data", false, false},
};

constexpr OptionRule key_file_option_rules[] = {{"--key-file", true, false}};

constexpr OptionRule release_option_rules[] = {
    {"--key-file", true, false},
    {"--next-key-file", true, false},
    {"--site", true, false},
    {"--download-url-prefix", true, false},
    {"--release-notes-url", true, false},
};

constexpr OptionRule desktop_entry_option_rules[] = {
    {"--dir", true, false}, {"--category", true, true}, {"--wm-class", true, false}, {"--remove", false, false},
};

// The flag switches and the bits they set, in the order the help lists them.
constexpr std::pair<std::string_view, std::uint8_t> flag_switches[] = {
    {"--main-thread", kestrova::flag_jvm_on_main_thread},
    {"--console", kestrova::flag_console},
    {"--flag-bit2", kestrova::flag_bit2_mask},
    {"--aggressive-updates", kestrova::flag_aggressive_updates},
    {"--flag-bit4", kestrova::flag_bit4_mask},
};

constexpr std::uint32_t default_stack_size = 2u * 1024 * 1024;
// HotSpot's smallest stack for a thread that runs Java code on x86_64 Linux (JDK 17 to 25; their
// java -Xss refuses less). Below it the JVM thread overflows during start-up or dies of SIGSEGV
// without a word. 0 is the system's default (the launcher keeps the default when the system refuses
// a size).
constexpr std::uint32_t min_stack_size = 136u * 1024;

struct ParsedArgs {
    std::map<std::string, std::vector<std::string>, std::less<>> options;
    std::vector<std::string> operands;
    bool help = false;

    bool has(std::string_view name) const { return options.find(name) != options.end(); }
    std::optional<std::string> value(std::string_view name) const {
        const auto it = options.find(name);
        if (it == options.end()) return std::nullopt;
        return it->second.front();
    }
    std::vector<std::string> values(std::string_view name) const {
        const auto it = options.find(name);
        return it == options.end() ? std::vector<std::string>{} : it->second;
    }
    std::string required(std::string_view name, std::string_view command) const {
        auto found = value(name);
        if (!found) throw UsageError(fill(msg_missing_option, {name, command}));
        return *found;
    }
};

const OptionRule* find_rule(std::span<const std::span<const OptionRule>> tables, std::string_view name) {
    for (const auto table : tables)
        for (const auto& rule : table)
            if (rule.name == name) return &rule;
    return nullptr;
}

// Options may come anywhere between operands; "--" ends them, "-" alone is an operand. A value is
// the next argument whatever it looks like, so --arg --verbose passes "--verbose".
ParsedArgs parse_args(std::span<char* const> args, std::string_view command,
                      std::span<const std::span<const OptionRule>> tables) {
    ParsedArgs parsed;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const OptionRule* rule = find_rule(tables, name);
        if (rule == nullptr) throw UsageError(fill(msg_unknown_option, {arg, command, command}));

        std::string value;
        if (equals != std::string_view::npos) {
            if (!rule->takes_value) throw UsageError(fill(msg_takes_no_value, {name, command}));
            value = arg.substr(equals + 1);
        } else if (rule->takes_value) {
            if (i + 1 == args.size()) throw UsageError(fill(msg_needs_value, {name, command}));
            value = args[++i];
        }
        auto& slot = parsed.options[std::string(name)];
        if (!slot.empty() && !rule->repeatable) throw UsageError(fill(msg_given_twice, {name}));
        slot.push_back(std::move(value));
    }
    return parsed;
}

std::uint8_t record_flags(const ParsedArgs& args) {
    std::uint8_t flags = 0;
    std::string switches;
    for (const auto& [name, bit] : flag_switches) {
        if (!args.has(name)) continue;
        flags |= bit;
        switches += switches.empty() ? "" : ", ";
        switches += name;
    }
    const auto byte = args.value("--flags");
    if (!byte) return flags;
    if (!switches.empty()) throw UsageError(fill(msg_flags_and_switches, {switches}));
    const auto parsed = kestrova::pack::parse_number(*byte, 0xFF);
    if (!parsed) throw UsageError(fill(msg_bad_flags, {*byte}));
    return static_cast<std::uint8_t>(*parsed);
}

// The record fields the command line asks for. Their JVM options are the user's --jvm-option
// values; bundle puts its class path and app directory options in front.
// `main_class` is what the main JAR's manifest names, which --main-class overrides.
kestrova::LaunchRecordFields record_fields(const ParsedArgs& args, std::string_view command,
                                           const std::optional<std::string>& main_class = std::nullopt) {
    kestrova::LaunchRecordFields fields;
    fields.main_class = main_class && !args.has("--main-class") ? *main_class : args.required("--main-class", command);
    if (fields.main_class.empty()) throw UsageError(std::string(msg_empty_main_class));
    fields.flags = record_flags(args);
    fields.stack_size = default_stack_size;
    if (const auto text = args.value("--stack-size")) {
        const auto parsed = kestrova::pack::parse_number(*text, 0xFFFFFFFFu);
        if (!parsed) throw UsageError(fill(msg_bad_stack_size, {*text}));
        if (*parsed != 0 && *parsed < min_stack_size)
            throw UsageError(fill(msg_small_stack_size, {*text, std::to_string(min_stack_size)}));
        fields.stack_size = *parsed;
    }
    fields.jvm_options = args.values("--jvm-option");
    fields.app_args = args.values("--arg");
    return fields;
}

std::vector<char> encode(const kestrova::LaunchRecordFields& fields) {
    try {
        return kestrova::encode_launch_record(fields);
    } catch (const kestrova::LaunchRecordError& e) {
        // The record's own message says what it cannot hold; the tool adds what to do.
        throw PackError(fill(msg_record, {e.what()}));
    }
}

std::vector<char> burn_template(const fs::path& launcher, std::span<const char> record) {
    const auto image = kestrova::pack::read_file(launcher);
    try {
        kestrova::pack::find_reserved_area(image);
    } catch (const PackError& e) {
        throw PackError(fill(msg_in_launcher, {launcher.string()}) + e.what());
    }
    return kestrova::pack::burn_record(image, record);
}

// --- burn ---------------------------------------------------------------------------------------

int run_burn(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {record_option_rules};
    const ParsedArgs args = parse_args(argv, "burn", tables);
    if (args.help) {
        std::fputs(help_burn.data(), stdout);
        std::fputs(help_record_options.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 2)
        throw UsageError(fill(msg_operands, {"burn", "two operands, IN and OUT", "burn"}));
    const fs::path in = args.operands[0];
    const fs::path out = args.operands[1];
    const auto record = encode(record_fields(args, "burn"));

    // Only a regular file is ever replaced: the rename would otherwise put a file where a device
    // node (/dev/null, as root) or a link (to /proc/self/fd/1, say) was.
    std::error_code ec;
    if (fs::is_directory(out, ec)) throw PackError(fill(msg_output_is_dir, {out.string()}));
    const auto out_status = fs::symlink_status(out, ec);
    if (fs::exists(out_status) && !fs::is_regular_file(out_status))
        throw PackError(fill(msg_output_not_regular, {out.string()}));
    const auto burned = burn_template(in, record);
    kestrova::pack::write_file_atomically(out, burned, kestrova::pack::permission_bits(in));
    return 0;
}

// --- inspect ------------------------------------------------------------------------------------

int run_inspect(std::span<char* const> argv) {
    const ParsedArgs args = parse_args(argv, "inspect", {});
    if (args.help) {
        std::fputs(help_inspect.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"inspect", "one operand, FILE", "inspect"}));
    const auto image = kestrova::pack::read_file(args.operands[0]);
    const std::size_t offset = kestrova::pack::find_burned_area(image);
    const std::span<const char> area(image.data() + offset, kestrova::reserved_area_size);
    std::string text = kestrova::pack::describe_record(area);
    text += "area_offset: " + std::to_string(offset) + "\n";
    // A record printed only in part (a full disk, a closed pipe) must not look like success.
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        throw PackError(fill(msg_cannot_print, {std::generic_category().message(errno)}));
    return 0;
}

// --- bundle -------------------------------------------------------------------------------------

constexpr std::string_view updater_file_name = "libkestrova-updater.so";

fs::path default_launcher() {
    return (kestrova::pack::own_directory() / KESTROVA_PACK_LIB_FROM_BIN / "kestrova-launcher")
        .lexically_normal();
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

// A file or directory copied into Contents/Resources, at `destination` (relative to it).
struct ResourceCopy {
    fs::path source;
    fs::path destination;
    bool on_class_path = false;  // a Class-Path entry, which the JVM reaches through the manifest
};

// Everything a bundle is made of, gathered and checked before anything is written.
struct BundlePlan {
    fs::path out_dir;
    fs::path bundle;  // out_dir / NAME.app
    std::string name;
    std::vector<char> launcher;
    mode_t launcher_mode = 0755;
    std::string info_plist;
    std::vector<fs::path> jars;  // the class path's, main JAR first
    std::vector<ResourceCopy> copies;  // Class-Path entries of the main JAR, then --resource
    fs::path support_jar;
    fs::path runtime;
    bool copy_runtime = false;
    bool jlink = false;
    std::vector<std::string> runtime_modules;  // with --jlink
    bool all_locales = false;
    std::string main_class;
    std::vector<std::string> jvm_options;  // the record's, && not yet replaced
    std::optional<fs::path> updater;
    std::optional<fs::path> icon;
    bool force = false;
};

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
            if (!in_jdk(module))
                throw PackError(fill(msg_unknown_module, {module, (plan.runtime / "jmods").string()}));
            asked.push_back(module);
        }
    }
    plan.all_locales = std::find(asked.begin(), asked.end(), "jdk.localedata") != asked.end() ||
                       kestrova::pack::selects_legacy_locale_data(plan.jvm_options);

    std::vector<fs::path> analysed = plan.jars;
    for (const auto& copy : plan.copies)
        if (copy.on_class_path) analysed.push_back(copy.source);
    analysed.push_back(plan.support_jar);
    std::set<std::string> modules;
    for (const auto& module : kestrova::pack::jdeps_modules(plan.runtime, analysed)) modules.insert(module);
    for (const auto module : kestrova::pack::service_modules)
        if (in_jdk(module)) modules.emplace(module);
    // Classes loaded by name (Class.forName, service types) are what jdeps cannot see.
    std::string by_text;
    for (const auto& named : kestrova::pack::modules_named_by_text(plan.runtime, analysed)) {
        if (!in_jdk(named.module) || !modules.insert(named.module).second) continue;
        by_text += fill(msg_module_by_text_item, {by_text.empty() ? "" : ", ", named.module, named.class_name, named.jar});
    }
    if (!by_text.empty()) report_note(fill(msg_modules_by_text, {by_text}));
    // An application's own modules (on a --module-path of its own) are not the JDK's to link.
    for (const auto& module : named_modules)
        if (in_jdk(module)) modules.insert(module);
    modules.insert(asked.begin(), asked.end());
    plan.runtime_modules.assign(modules.begin(), modules.end());
}

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
    }
    auto fields = record_fields(args, "bundle", manifest.main_class);
    if (const auto refusal = kestrova::pack::two_word_option_refusal(fields.jvm_options))
        throw UsageError(*refusal);
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
    ResourceNames names;
    names.claim(std::string(kestrova::pack::support_jar_name), {}, "the support JAR");
    for (const auto& jar : plan.jars) jar_names.push_back(jar.filename().string());
    // Names the class path cannot carry, or two JARs of one name, are refused here first.
    fields.jvm_options = kestrova::pack::bundle_jvm_options(jar_names, fields.jvm_options);
    for (const auto& jar : plan.jars) names.claim(jar.filename(), jar, "the JAR " + jar.string());
    // The JVM follows the main JAR's Class-Path relative to where the JAR is, as java -jar does, so
    // each entry goes to the same place relative to the JAR in Contents/Resources.
    for (const auto& entry : manifest.class_path) {
        const fs::path source = main_jar->parent_path() / entry;
        std::error_code ec;
        if (!fs::exists(source, ec))
            throw PackError(fill(msg_missing_class_path, {main_jar->string(), entry, source.string()}));
        if (names.claim(entry, source, "the Class-Path of " + main_jar->string()))
            plan.copies.push_back({source, entry, true});
    }
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
    const auto record = encode(fields);
    std::vector<std::string> named_modules = manifest.modules;
    for (const auto& module : kestrova::pack::modules_named_in_options(
             std::span<const std::string>(options).subspan(user_options_from)))
        named_modules.push_back(module);

    const fs::path launcher = args.value("--launcher").value_or(default_launcher().string());
    require_regular_file(launcher, "the launcher template", hint_launcher);
    plan.launcher = burn_template(launcher, record);
    plan.launcher_mode = kestrova::pack::permission_bits(launcher);

    plan.support_jar = args.value("--support-jar").value_or(default_support_jar().string());
    require_regular_file(plan.support_jar, "the support JAR", hint_support_jar);

    if (args.has("--with-updater")) {
        const fs::path updater = launcher.parent_path() / updater_file_name;
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
    if (!plan.jlink && args.has("--add-modules")) throw UsageError(std::string(msg_add_modules_without_jlink));

    kestrova::pack::PlistFields plist;
    plist.executable = plan.name;
    plist.name = plan.name;
    plist.identifier = args.value("--bundle-identifier")
                           .value_or(kestrova::pack::default_bundle_identifier(plan.name));
    plist.version = args.value("--bundle-version").value_or("1.0");
    // An empty version can never be updated: the updater does not start without one, and the
    // gate lets such a bundle start whatever the update site says. Refused here, where it is made.
    if (plist.version.empty()) throw UsageError(std::string(msg_empty_version));
    plist.feed_url = args.value("--feed-url");
    plist.automatic_checks = args.has("--automatic-checks");
    plist.class_data = !args.has("--no-class-data");
    if (const auto text = args.value("--check-interval")) {
        const auto parsed = kestrova::pack::parse_number(*text, 0xFFFFFFFFu);
        if (!parsed) throw UsageError(fill(msg_bad_check_interval, {*text}));
        plist.check_interval = *parsed;
    }
    if (const auto key = args.value("--public-ed-key")) {
        if (!kestrova::sparkle::ed25519::public_key_from_base64(*key))
            throw UsageError(fill(msg_bad_public_ed_key, {*key}));
        plist.public_ed_key = *key;
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
    const fs::path contents = root / "Contents";
    fs::create_directories(contents / "MacOS");
    kestrova::pack::write_file_atomically(contents / "MacOS" / plan.name, plan.launcher,
                                          plan.launcher_mode);
    write_text(contents / "Info.plist", plan.info_plist);

    const fs::path resources = contents / "Resources";
    fs::create_directories(resources);
    for (const auto& jar : plan.jars) fs::copy_file(jar, resources / jar.filename());
    fs::copy_file(plan.support_jar, resources / std::string(kestrova::pack::support_jar_name));
    if (plan.icon) fs::copy_file(*plan.icon, resources / plan.icon->filename());
    for (const auto& copy : plan.copies) {
        const fs::path to = resources / copy.destination;
        fs::create_directories(to.parent_path());
        // Links are followed: the bundle carries what they lead to, never a path of this machine.
        if (fs::is_directory(copy.source)) fs::copy(copy.source, to, fs::copy_options::recursive);
        else fs::copy_file(copy.source, to);
    }

    const fs::path runtime_contents = contents / "runtime" / "Contents";
    fs::create_directories(runtime_contents);
    if (plan.jlink) {
        kestrova::pack::link_runtime(plan.runtime, plan.runtime_modules, runtime_contents / "Home",
                                     plan.all_locales);
    } else if (plan.copy_runtime) {
        const fs::path source = fs::canonical(plan.runtime);
        const fs::path home = runtime_contents / "Home";
        fs::copy(source, home, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        make_self_contained(source, home);
    } else {
        fs::create_directory_symlink(plan.runtime, runtime_contents / "Home");
    }

    if (plan.updater) {
        fs::create_directories(contents / "Frameworks");
        fs::copy_file(*plan.updater, contents / "Frameworks" / updater_file_name);
    }
}

// A runtime made by jlink may lack a module the application needs: it must start a JVM with the
// bundle's own options and load the main class before the bundle takes its place.
void check_linked_runtime(const BundlePlan& plan, const fs::path& root) {
    const std::string app_dir = fs::canonical(root / "Contents" / "Resources").string();
    std::vector<std::string> options;
    for (const auto& option : plan.jvm_options) options.push_back(kestrova::expand_app_dir_tokens(option, app_dir));
    kestrova::pack::check_runtime_loads_main(root / "Contents" / "runtime" / "Contents" / "Home", options,
                                             plan.main_class, plan.runtime);
}

int run_bundle(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {bundle_option_rules, record_option_rules};
    const ParsedArgs args = parse_args(argv, "bundle", tables);
    if (args.help) {
        std::fputs(help_bundle.data(), stdout);
        std::fputs(help_record_options.data(), stdout);
        return 0;
    }
    if (!args.operands.empty())
        throw UsageError(fill(msg_operands, {"bundle", "no operands", "bundle"}));
    const BundlePlan plan = plan_bundle(args);

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
    return 0;
}

// --- generate-keys, sign-update, release ---------------------------------------------------------

constexpr std::string_view help_generate_keys = R"(Usage: kestrova-pack generate-keys --key-file FILE

Makes an Ed25519 key pair for signing updates. The private key goes into FILE (PEM PKCS#8,
mode 0600); FILE must not exist, a key is never overwritten. The public key is printed on
standard output as base64 of its 32 bytes: pass it to kestrova-pack bundle --public-ed-key
(the Info.plist key SUPublicEDKey). Keep FILE secret and safe: without it no installed copy
can ever be updated again.
)";

constexpr std::string_view help_sign_update = R"(Usage: kestrova-pack sign-update ARCHIVE --key-file FILE

Prints the Ed25519 signature of ARCHIVE's bytes and its size as the attributes of an appcast
<enclosure>:  sparkle:edSignature="BASE64" length="BYTES"
)";

constexpr std::string_view help_release =
    R"(Usage: kestrova-pack release BUNDLE.app --key-file FILE --site DIR --download-url-prefix URL
       [--release-notes-url URL] [--next-key-file NEXT]

Makes or updates a release site in DIR for the bundle's CFBundleVersion:
  DIR/NAME-VERSION.tar.gz   the bundle (NAME.app at the top), the same bytes for the same
                            bundle when SOURCE_DATE_EPOCH is set (every time stamp is it)
  DIR/appcast.xml           the update feed, the new item first, older items kept, an item
                            of the same version replaced
  DIR/metadata.properties   app.version and app.revision for the launcher's update gate
The archive is signed with FILE; the enclosure's address is URL/NAME-VERSION.tar.gz.
To change keys, release once with --next-key-file NEXT: the bundle carries NEXT's public
key, the archive is signed with FILE (which installed copies trust); release later
versions with --key-file NEXT.
Refused, with nothing written: a bundle whose runtime is a link (build it with
--copy-runtime), a bundle without SUPublicEDKey or with one that is not FILE's public key
(NEXT's with --next-key-file), a version older than the newest in DIR/appcast.xml, and an
appcast that would grow past the 4 MiB the updater reads (remove old items from it).
Runs on the same DIR wait for each other. Serve DIR at URL to publish.
)";

int run_generate_keys(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {key_file_option_rules};
    const ParsedArgs args = parse_args(argv, "generate-keys", tables);
    if (args.help) {
        std::fputs(help_generate_keys.data(), stdout);
        return 0;
    }
    if (!args.operands.empty())
        throw UsageError(fill(msg_operands, {"generate-keys", "no operands", "generate-keys"}));
    const fs::path key_file = args.required("--key-file", "generate-keys");
    kestrova::pack::generate_key_file(key_file, [](const kestrova::sparkle::ed25519::PublicKey& key) {
        const std::string line = kestrova::sparkle::ed25519::encode_base64(key) + "\n";
        if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
            throw PackError(fill(msg_cannot_print_key, {std::generic_category().message(errno)}));
    });
    return 0;
}

int run_sign_update(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {key_file_option_rules};
    const ParsedArgs args = parse_args(argv, "sign-update", tables);
    if (args.help) {
        std::fputs(help_sign_update.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"sign-update", "one operand, ARCHIVE", "sign-update"}));
    const auto seed = kestrova::pack::read_key_file(args.required("--key-file", "sign-update"));
    const std::string line = kestrova::pack::signature_attributes(args.operands[0], seed) + "\n";
    if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        throw PackError(fill(msg_cannot_print, {std::generic_category().message(errno)}));
    return 0;
}

std::optional<std::int64_t> source_date_epoch() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0') return std::nullopt;
    std::int64_t value = 0;
    const std::string_view view(text);
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc{} || end != view.data() + view.size() || value < 0)
        throw UsageError(fill(msg_bad_source_date_epoch, {view}));
    return value;
}

int run_release(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {release_option_rules};
    const ParsedArgs args = parse_args(argv, "release", tables);
    if (args.help) {
        std::fputs(help_release.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"release", "one operand, BUNDLE.app", "release"}));
    kestrova::pack::ReleaseOptions options;
    options.bundle = args.operands[0];
    options.key_file = args.required("--key-file", "release");
    options.next_key_file = args.value("--next-key-file");
    options.site = args.required("--site", "release");
    options.download_url_prefix = args.required("--download-url-prefix", "release");
    options.release_notes_url = args.value("--release-notes-url");
    options.source_date_epoch = source_date_epoch();
    kestrova::pack::make_release(options);
    return 0;
}

// --- desktop-entry ------------------------------------------------------------------------------

int run_desktop_entry(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {desktop_entry_option_rules};
    const ParsedArgs args = parse_args(argv, "desktop-entry", tables);
    if (args.help) {
        std::fputs(help_desktop_entry.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"desktop-entry", "one operand, BUNDLE.app", "desktop-entry"}));
    const fs::path bundle = args.operands[0];
    const fs::path directory = args.value("--dir")
                                   ? fs::path(*args.value("--dir"))
                                   : kestrova::pack::default_applications_directory(std::getenv("XDG_DATA_HOME"),
                                                                                    std::getenv("HOME"));
    if (args.has("--remove")) {
        for (const char* other : {"--category", "--wm-class"})
            if (args.has(other)) throw UsageError(fill(msg_remove_with_options, {other}));
        for (const auto& removed : kestrova::pack::remove_desktop_entries(bundle, directory))
            std::fputs(fill(msg_entry_removed, {removed.string()}).c_str(), stdout);
        return 0;
    }
    kestrova::pack::DesktopEntryRequest request;
    request.bundle = bundle;
    request.directory = directory;
    request.categories = args.values("--category");
    for (const auto& category : request.categories)
        if (!kestrova::pack::is_known_category(category)) throw UsageError(fill(msg_bad_category, {category}));
    request.wm_class = args.value("--wm-class");
    const fs::path written = kestrova::pack::write_desktop_entry(request);
    std::fputs(fill(msg_entry_written, {written.string()}).c_str(), stdout);
    return 0;
}

// --- main ---------------------------------------------------------------------------------------

int run(std::span<char* const> argv) {
    if (argv.empty()) throw UsageError(std::string(msg_no_command));
    const std::string_view command = argv[0];
    const auto rest = argv.subspan(1);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(help_main.data(), stdout);
        return 0;
    }
    if (command == "burn") return run_burn(rest);
    if (command == "inspect") return run_inspect(rest);
    if (command == "bundle") return run_bundle(rest);
    if (command == "generate-keys") return run_generate_keys(rest);
    if (command == "sign-update") return run_sign_update(rest);
    if (command == "release") return run_release(rest);
    if (command == "desktop-entry") return run_desktop_entry(rest);
    throw UsageError(fill(msg_unknown_command, {command}));
}

void report(std::string_view message) {
    std::string line(message_prefix);
    line += message;
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::span<char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)));
    } catch (const UsageError& e) {
        report(e.what());
        return exit_usage;
    } catch (const PackError& e) {
        report(e.what());
        return exit_failure;
    } catch (const std::exception& e) {
        // Anything else (a file system call outside the assembly, memory) still ends in one line.
        report(std::string(e.what()) + "; nothing was written");
        return exit_failure;
    }
}
