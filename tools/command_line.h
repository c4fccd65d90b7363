// The packaging tool's command line: options between operands, checked against each command's table
// of rules, and the launch record that the record options describe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/burned_in_data.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"

namespace kestrova::pack {

inline constexpr std::string_view message_prefix = "kestrova-pack: ";

// A wrong command line: the same one-line report as a PackError, another exit status.
class UsageError : public PackError {
public:
    using PackError::PackError;
};

struct OptionRule {
    std::string_view name;
    bool takes_value;
    bool repeatable;
};

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
    // The option's value; a UsageError naming the option when it is absent.
    std::string required(std::string_view name, std::string_view command) const;
};

// Options may come anywhere between operands; "--" ends them, "-" alone is an operand. A value is
// the next argument whatever it looks like, so --arg --verbose passes "--verbose".
ParsedArgs parse_args(std::span<char* const> args, std::string_view command,
                      std::span<const std::span<const OptionRule>> tables);

// values; bundle puts its class path and app directory options in front.
// `main_class` is what the main JAR's manifest names, which --main-class overrides.
kestrova::LaunchRecordFields record_fields(const ParsedArgs& args, std::string_view command,
                                           const std::optional<std::string>& main_class = std::nullopt);

// The record's bytes; a PackError that says what to do when the fields do not fit.
std::vector<char> encode_record(const kestrova::LaunchRecordFields& fields);

// A copy of the launcher template at `launcher` with `record` burned into its reserved area.
std::vector<char> burn_template(const std::filesystem::path& launcher, std::span<const char> record);

}  // namespace kestrova::pack
