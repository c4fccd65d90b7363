// kestrova-pack: burns a launch record into a copy of the launcher template, shows the record of a
// burned launcher, assembles an application bundle around one, and makes release sites and desktop
// entries. This file parses each command's options and hands them to the packaging library.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "protocol/ed25519.h"
#include "protocol/rollout.h"
#include "tools/apt_repository.h"
#include "tools/bundle.h"
#include "tools/command_line.h"
#include "tools/deb_package.h"
#include "tools/delta_files.h"
#include "tools/desktop_entry.h"
#include "tools/ed25519_keys.h"
#include "tools/jlink_runtime.h"
#include "tools/mime_types.h"
#include "tools/pack_help.h"
#include "tools/package_help.h"
#include "tools/packaging.h"
#include "tools/release.h"
#include "tools/release_signing.h"
#include "tools/rpm_package.h"

namespace {

namespace fs = std::filesystem;
// The command line's parser, the help texts and the commands' work are the packaging library's.
using namespace kestrova::pack;

// --- Exit statuses and messages -----------------------------------------------------------------

constexpr int exit_failure = 1;  // the inputs cannot be packaged, or a file operation failed
constexpr int exit_usage = 2;    // the command line itself is wrong

constexpr std::string_view msg_unknown_command =
    "unknown command \"{}\"; the commands are burn, inspect, bundle, desktop-entry, generate-keys, sign-update, "
    "release, delta, inspect-delta, deb and rpm (see kestrova-pack --help)";
constexpr std::string_view msg_no_command = "no command given; run kestrova-pack --help for the commands";
constexpr std::string_view msg_operands = "{} takes {}; see kestrova-pack {} --help";
constexpr std::string_view msg_output_is_dir = "the output \"{}\" is a directory; name the file to write";
constexpr std::string_view msg_output_not_regular =
    "the output \"{}\" exists and is not a regular file (a link, device, pipe or socket); remove it "
    "or name another file to write";
constexpr std::string_view msg_cannot_print = "could not print the record ({}); check where the output goes";
constexpr std::string_view msg_cannot_print_key =
    "could not print the public key ({}), so no key file was kept; run generate-keys again with standard output "
    "on a terminal or a file";
constexpr std::string_view msg_bad_source_date_epoch =
    "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not \"{}\"; set it so or unset it";
constexpr std::string_view msg_bad_category =
    "--category \"{}\" is not a category of the freedesktop menu standard (e.g. Utility, "
    "Development, Office, Graphics, Game) nor a private X-NAME one; choose one of those";
constexpr std::string_view msg_bad_deltas =
    "--deltas takes how many earlier versions to make deltas from (0 for none, at most 1000), not \"{}\"";
constexpr std::string_view msg_remove_with_options = "--remove takes no {}; give only the bundle and --dir";
constexpr std::string_view msg_package_written = "package written: {}\n";
constexpr std::string_view msg_apt_without_key = "--apt needs --apt-key KEY, the GnuPG key that signs the repository";
constexpr std::string_view msg_bad_expiry =
    "--expires-in takes whole days from 1 to {}, not \"{}\"; give a number of days";
constexpr std::string_view msg_refresh_takes =
    "release --refresh re-signs the site's files and takes no {}; give only --key-file, --site, --next-key-file "
    "and --expires-in";
constexpr std::string_view msg_entry_written = "desktop entry written: {}\n";
constexpr std::string_view msg_entry_removed = "desktop entry removed: {}\n";
constexpr std::string_view msg_mime_definition_written = "file types defined: {}\n";

// --- Command line -------------------------------------------------------------------------------

constexpr OptionRule record_option_rules[] = {
    {"--main-class", true, false}, {"--stack-size", true, false}, {"--jvm-option", true, true},
    {"--arg", true, true},         {"--flags", true, false},      {"--main-thread", false, false},
    {"--console", false, false},   {"--flag-bit2", false, false}, {"--aggressive-updates", false, false},
    {"--flag-bit4", false, false},
};

constexpr OptionRule bundle_option_rules[] = {
    {"--name", true, false},
    {"--out", true, false},
    {"--jar", true, true},
    {"--runtime", true, false},
    {"--copy-runtime", false, false},
    {"--bundle-version", true, false},
    {"--bundle-identifier", true, false},
    {"--feed-url", true, false},
    {"--with-updater", false, false},
    {"--force", false, false},
    {"--launcher", true, false},
    {"--support-jar", true, false},
    {"--automatic-checks", false, false},
    {"--check-interval", true, false},
    {"--public-ed-key", true, false},
    {"--require-signed-feed", false, false},
    {"--update-channel", true, true},
    {"--icon", true, false},
    {"--jlink", false, false},
    {"--add-modules", true, true},
    {"--main-jar", true, false},
    {"--input", true, false},
    {"--resource", true, true},
    {"--native-library", true, true},
    {"--add-launcher", true, true},
    {"--user-jvm-options", false, false},
    {"--jlink-modules", true, false},
    {"--locales", true, false},
    {"--keep-debug-info", false, false},
    {"--no-class-data", false, false},
    {"--desktop-integration", true, false},
    {"--category", true, true},
    {"--mime-type", true, true},
    {"--mime-definition", true, false},
};

constexpr OptionRule key_file_option_rules[] = {{"--key-file", true, false}};

constexpr OptionRule release_option_rules[] = {
    {"--key-file", true, false},
    {"--next-key-file", true, false},
    {"--site", true, false},
    {"--download-url-prefix", true, false},
    {"--release-notes-url", true, false},
    {"--release-notes", true, false},
    {"--channel", true, false},
    {"--phased-rollout-interval", true, false},
    {"--critical-update", false, false},
    {"--apt", false, false},
    {"--apt-key", true, false},
    {"--deltas", true, false},
    {"--expires-in", true, false},
    {"--refresh", false, false},
};

constexpr std::string_view msg_bad_channel =
    "--channel \"{}\" is not a channel name: use 1 to 64 ASCII letters, digits, '.', '_' or '-'";
constexpr std::string_view msg_bad_rollout_interval =
    "--phased-rollout-interval \"{}\" is not a number of seconds from 1 to 31536000 (a year); give one";

// The options of deb and rpm, and of release --apt.
constexpr OptionRule package_option_rules[] = {
    {"--out", true, false},         {"--maintainer", true, false},      {"--package", true, false},
    {"--description", true, false}, {"--homepage", true, false},        {"--category", true, true},
    {"--mime-type", true, true},    {"--mime-definition", true, false}, {"--comment", true, false},
};
constexpr OptionRule deb_option_rules[] = {{"--deb-depends", true, true}};
constexpr OptionRule rpm_option_rules[] = {{"--rpm-requires", true, true}};

constexpr OptionRule desktop_entry_option_rules[] = {
    {"--dir", true, false},     {"--category", true, true},  {"--wm-class", true, false},
    {"--remove", false, false}, {"--mime-type", true, true}, {"--mime-definition", true, false},
    {"--comment", true, false}, {"--keywords", true, true},
};

// --- burn ---------------------------------------------------------------------------------------

int run_burn(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {record_option_rules};
    const ParsedArgs args = parse_args(argv, "burn", tables);
    if (args.help) {
        std::fputs(help_burn.data(), stdout);
        std::fputs(help_record_options.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 2) throw UsageError(fill(msg_operands, {"burn", "two operands, IN and OUT", "burn"}));
    const fs::path in = args.operands[0];
    const fs::path out = args.operands[1];
    const auto record = encode_record(record_fields(args, "burn"));

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
    if (args.operands.size() != 1) throw UsageError(fill(msg_operands, {"inspect", "one operand, FILE", "inspect"}));
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

int run_bundle(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {bundle_option_rules, record_option_rules};
    const ParsedArgs args = parse_args(argv, "bundle", tables);
    if (args.help) {
        std::fputs(help_bundle.data(), stdout);
        std::fputs(help_record_options.data(), stdout);
        return 0;
    }
    if (!args.operands.empty()) throw UsageError(fill(msg_operands, {"bundle", "no operands", "bundle"}));
    kestrova::pack::make_bundle(kestrova::pack::plan_bundle(args));
    return 0;
}

// --- generate-keys, sign-update, release ---------------------------------------------------------

int run_generate_keys(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {key_file_option_rules};
    const ParsedArgs args = parse_args(argv, "generate-keys", tables);
    if (args.help) {
        std::fputs(help_generate_keys.data(), stdout);
        return 0;
    }
    if (!args.operands.empty()) throw UsageError(fill(msg_operands, {"generate-keys", "no operands", "generate-keys"}));
    const fs::path key_file = args.required("--key-file", "generate-keys");
    kestrova::pack::generate_key_file(key_file, [](const kestrova::protocol::ed25519::PublicKey& key) {
        const std::string line = kestrova::protocol::ed25519::encode_base64(key) + "\n";
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

kestrova::pack::PackageRequest package_request(const ParsedArgs& args, const fs::path& bundle) {
    kestrova::pack::PackageRequest request;
    request.bundle = bundle;
    request.out_dir = args.value("--out").value_or(".");
    request.package = args.value("--package");
    request.maintainer = args.value("--maintainer");
    request.description = args.value("--description");
    request.homepage = args.value("--homepage");
    request.categories = args.values("--category");
    for (const auto& category : request.categories)
        if (!kestrova::pack::is_known_category(category)) throw UsageError(fill(msg_bad_category, {category}));
    request.mime_types = args.values("--mime-type");
    if (const auto definition = args.value("--mime-definition")) request.mime_definition = *definition;
    request.comment = args.value("--comment");
    request.source_date_epoch = source_date_epoch();
    return request;
}

int run_deb(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {package_option_rules, deb_option_rules};
    const ParsedArgs args = parse_args(argv, "deb", tables);
    if (args.help) {
        std::fputs(help_deb.data(), stdout);
        std::fputs(help_package_options.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1) throw UsageError(fill(msg_operands, {"deb", "one operand, BUNDLE.app", "deb"}));
    auto request = package_request(args, args.operands[0]);
    request.depends = args.values("--deb-depends");
    const fs::path written = kestrova::pack::make_deb(request);
    std::fputs(fill(msg_package_written, {written.string()}).c_str(), stdout);
    return 0;
}

int run_rpm(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {package_option_rules, rpm_option_rules};
    const ParsedArgs args = parse_args(argv, "rpm", tables);
    if (args.help) {
        std::fputs(help_rpm.data(), stdout);
        std::fputs(help_package_options.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1) throw UsageError(fill(msg_operands, {"rpm", "one operand, BUNDLE.app", "rpm"}));
    auto request = package_request(args, args.operands[0]);
    request.depends = args.values("--rpm-requires");
    const fs::path written = kestrova::pack::make_rpm(request);
    std::fputs(fill(msg_package_written, {written.string()}).c_str(), stdout);
    return 0;
}

int run_release(std::span<char* const> argv) {
    const std::span<const OptionRule> tables[] = {release_option_rules, package_option_rules, deb_option_rules};
    const ParsedArgs args = parse_args(argv, "release", tables);
    if (args.help) {
        std::fputs(help_release.data(), stdout);
        std::fputs(help_release_apt.data(), stdout);
        std::fputs(help_package_options.data(), stdout);
        return 0;
    }
    std::optional<int> expires_in_days;
    if (const auto text = args.value("--expires-in")) {
        const auto days = kestrova::pack::parse_number(*text, kestrova::pack::max_expiry_days);
        if (!days || *days == 0)
            throw UsageError(fill(msg_bad_expiry, {std::to_string(kestrova::pack::max_expiry_days), *text}));
        expires_in_days = static_cast<int>(*days);
    }
    if (args.has("--refresh")) {
        if (!args.operands.empty()) throw UsageError(fill(msg_refresh_takes, {"bundle"}));
        for (const char* option : {"--download-url-prefix", "--release-notes-url", "--release-notes", "--channel",
                                   "--phased-rollout-interval", "--critical-update", "--deltas", "--apt", "--apt-key"})
            if (args.has(option)) throw UsageError(fill(msg_refresh_takes, {option}));
        kestrova::pack::refresh_release_site({args.required("--site", "release"),
                                              args.required("--key-file", "release"), args.value("--next-key-file"),
                                              expires_in_days});
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"release", "one operand, BUNDLE.app", "release"}));
    kestrova::pack::ReleaseOptions options;
    options.expires_in_days = expires_in_days;
    options.bundle = args.operands[0];
    options.key_file = args.required("--key-file", "release");
    options.next_key_file = args.value("--next-key-file");
    options.site = args.required("--site", "release");
    options.download_url_prefix = args.required("--download-url-prefix", "release");
    options.release_notes_url = args.value("--release-notes-url");
    options.source_date_epoch = source_date_epoch();
    if (const auto notes = args.value("--release-notes")) options.release_notes_file = *notes;
    if (const auto channel = args.value("--channel")) {
        if (!kestrova::protocol::is_channel_name(*channel)) throw UsageError(fill(msg_bad_channel, {*channel}));
        options.channel = *channel;
    }
    if (const auto interval = args.value("--phased-rollout-interval")) {
        const auto seconds = parse_number(*interval, kestrova::pack::max_phased_rollout_interval);
        if (!seconds || *seconds == 0) throw UsageError(fill(msg_bad_rollout_interval, {*interval}));
        options.phased_rollout_interval = static_cast<std::int64_t>(*seconds);
    }
    options.critical_update = args.has("--critical-update");
    if (const auto deltas = args.value("--deltas")) {
        const auto count = parse_number(*deltas, 1000);
        if (!count) throw UsageError(fill(msg_bad_deltas, {*deltas}));
        options.deltas = *count;
    }
    if (!args.has("--apt")) {
        kestrova::pack::make_release(options);
        return 0;
    }
    // The package is made and the key checked before the release writes anything, so a refusal
    // leaves the site as it was.
    const auto key = args.value("--apt-key");
    if (!key) throw UsageError(std::string(msg_apt_without_key));
    kestrova::pack::check_signing_key(*key);
    kestrova::pack::TemporaryDirectory work(fs::temp_directory_path(), "kestrova-apt-");
    auto request = package_request(args, options.bundle);
    request.out_dir = work.path();
    request.depends = args.values("--deb-depends");
    const fs::path deb = kestrova::pack::make_deb(request);
    kestrova::pack::make_release(options);
    kestrova::pack::AptRepositoryOptions repository;
    repository.directory = options.site / "apt";
    std::string url = options.download_url_prefix;
    if (!url.ends_with('/')) url += '/';
    repository.url = url + "apt/";
    repository.key = *key;
    repository.package = kestrova::pack::read_package_facts(request).package;
    kestrova::pack::add_to_apt_repository(deb, repository);
    return 0;
}

// --- delta, inspect-delta -----------------------------------------------------------------------

int run_delta(std::span<char* const> argv) {
    const ParsedArgs args = parse_args(argv, "delta", {});
    if (args.help) {
        std::fputs(help_delta.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 3)
        throw UsageError(fill(msg_operands, {"delta", "three operands, OLD.tar.gz NEW.tar.gz OUT", "delta"}));
    kestrova::pack::make_delta_between_archives(args.operands[0], args.operands[1], args.operands[2]);
    return 0;
}

int run_inspect_delta(std::span<char* const> argv) {
    const ParsedArgs args = parse_args(argv, "inspect-delta", {});
    if (args.help) {
        std::fputs(help_inspect_delta.data(), stdout);
        return 0;
    }
    if (args.operands.size() != 1)
        throw UsageError(fill(msg_operands, {"inspect-delta", "one operand, FILE", "inspect-delta"}));
    const std::string text = kestrova::pack::describe_delta(args.operands[0]);
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        throw PackError(fill(msg_cannot_print, {std::generic_category().message(errno)}));
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
        for (const char* other :
             {"--category", "--wm-class", "--mime-type", "--mime-definition", "--comment", "--keywords"})
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
    request.mime_types = args.values("--mime-type");
    if (const auto definition = args.value("--mime-definition")) request.mime_definition = *definition;
    request.mime_data_directories = kestrova::pack::mime_data_directories(std::getenv("XDG_DATA_HOME"),
                                                                          std::getenv("HOME"),
                                                                          std::getenv("XDG_DATA_DIRS"));
    request.comment = args.value("--comment");
    for (const auto& list : args.values("--keywords"))
        for (const auto& keyword : kestrova::pack::split_list(list, ',')) request.keywords.push_back(keyword);
    const auto result = kestrova::pack::write_desktop_entry(request);
    for (const auto& note : result.notes) std::fputs((std::string(message_prefix) + note + "\n").c_str(), stderr);
    for (const auto& written : result.entries) std::fputs(fill(msg_entry_written, {written.string()}).c_str(), stdout);
    if (result.mime_definition)
        std::fputs(fill(msg_mime_definition_written, {result.mime_definition->string()}).c_str(), stdout);
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
    if (command == "delta") return run_delta(rest);
    if (command == "inspect-delta") return run_inspect_delta(rest);
    if (command == "deb") return run_deb(rest);
    if (command == "rpm") return run_rpm(rest);
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
