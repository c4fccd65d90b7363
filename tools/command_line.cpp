#include "tools/command_line.h"

#include <utility>

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_unknown_option = "unknown option \"{}\" for {}; see kestrova-pack {} --help";
constexpr std::string_view msg_needs_value = "{} needs a value; see kestrova-pack {} --help";
constexpr std::string_view msg_takes_no_value = "{} takes no value; see kestrova-pack {} --help";
constexpr std::string_view msg_given_twice = "{} is given more than once; give it once";
constexpr std::string_view msg_missing_option = "missing required option {}; see kestrova-pack {} --help";
constexpr std::string_view msg_bad_flags = "--flags takes a number from 0 to 255 (decimal or 0x hex), not \"{}\"";
constexpr std::string_view msg_flags_and_switches =
    "--flags cannot be combined with {}; give the flag byte or the switches, not both";
constexpr std::string_view msg_bad_stack_size =
    "--stack-size takes a number of bytes from 0 to 4294967295 (decimal or 0x hex), not \"{}\"";
constexpr std::string_view msg_small_stack_size =
    "--stack-size {} is too small for the JVM: it needs at least {} bytes (136 KiB), or 0 for the "
    "system's default stack";
constexpr std::string_view msg_empty_main_class = "--main-class needs a non-empty class name";
constexpr std::string_view msg_record = "{}; use fewer or shorter JVM options and arguments";
// Names the launcher before the reason its area cannot be burned, in the usual "file: problem" form.
constexpr std::string_view msg_in_launcher = "{}: ";

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

const OptionRule* find_rule(std::span<const std::span<const OptionRule>> tables, std::string_view name) {
    for (const auto table : tables)
        for (const auto& rule : table)
            if (rule.name == name) return &rule;
    return nullptr;
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

}  // namespace

std::string ParsedArgs::required(std::string_view name, std::string_view command) const {
    auto found = value(name);
    if (!found) throw UsageError(fill(msg_missing_option, {name, command}));
    return *found;
}

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

kestrova::LaunchRecordFields record_fields(const ParsedArgs& args, std::string_view command,
                                           const std::optional<std::string>& main_class) {
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

std::vector<char> encode_record(const kestrova::LaunchRecordFields& fields) {
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

}  // namespace kestrova::pack
