#include "core/launch_plan.h"

#include "core/class_data.h"
#include "kestrova/bundle_layout.h"

#include <algorithm>

namespace kestrova {

std::string build_sun_java_command(std::string_view main_class, std::span<const std::string> app_args,
                                   std::span<const char* const> command_line_args) {
    std::string option = "-Dsun.java.command=";
    option += main_class;
    for (const auto& arg : app_args) {
        option += ' ';
        option += arg;
    }
    for (const char* arg : command_line_args) {
        option += ' ';
        option += arg;
    }
    return option;
}

std::string unresolved_app_dir(std::string_view executable_path) {
    const auto slash = executable_path.rfind('/');
    // The platform reports an absolute path; should it ever not, "." stands for the directory.
    std::string dir = slash == std::string_view::npos ? std::string(".")
                                                      : std::string(executable_path.substr(0, slash));
    dir += "/../";
    dir += bundle_layout::resources;
    dir += '/';
    return dir;
}

std::string expand_option_tokens(std::string_view option, std::string_view app_dir, std::string_view home) {
    std::string expanded;
    expanded.reserve(option.size());
    for (std::size_t i = 0; i < option.size();) {
        if (option.substr(i, 2) == "&&") {
            expanded.append(app_dir);
            i += 2;
        } else if (option.substr(i, home_token.size()) == home_token) {
            expanded.append(home);
            i += home_token.size();
        } else {
            expanded += option[i++];
        }
    }
    return expanded;
}

LaunchPlan plan_launch(const BurnedInData& record, const LaunchInputs& inputs, LaunchPurpose purpose) {
    const bool application = purpose == LaunchPurpose::application;
    LaunchPlan plan;
    plan.jvm_options = record.jvm_options;
    plan.jvm_options.insert(plan.jvm_options.end(), inputs.user_options.begin(), inputs.user_options.end());
    // Only the options are checked for the home token: the command quotes the command line as it is.
    if (inputs.home.empty())
        plan.home_missing = std::any_of(plan.jvm_options.begin(), plan.jvm_options.end(),
                                        [](const std::string& o) { return o.find(home_token) != std::string::npos; });
    if (application)
        plan.jvm_options.push_back(build_sun_java_command(record.main_class, record.app_args, inputs.command_line));
    for (auto& option : plan.jvm_options) option = expand_option_tokens(option, inputs.app_dir, inputs.home);

    if (application) {
        plan.main_class = record.main_class;
        plan.arguments = record.app_args;
        plan.arguments.insert(plan.arguments.end(), inputs.command_line.begin(), inputs.command_line.end());
    }
    plan.jvm_hooks = application;
    plan.class_data = application ? ClassDataStep::chosen_at_start : ClassDataStep::dump;
    if (!application) plan.class_data_options = class_data::dump_options(inputs.class_list, inputs.archive);
    return plan;
}

namespace {

// Options that decide what runs, which the bundle alone does, matched as HotSpot reads them (its
// match_option, add_property and flag parser), so that no other spelling of one slips through.
// The launcher's own class path options, whole or with their value after '='; HotSpot never sees
// these, but a user who writes one means what the bundle fixes.
constexpr std::string_view reserved_exact[] = {"-cp", "-classpath", "--class-path", "-jar"};
// -Xbootclasspath in each of its forms (":", "/a:", "/p:"): a class on the boot class path is
// found before the class path's, so a JAR there runs in place of the application's classes.
constexpr std::string_view reserved_prefixes[] = {"--class-path=", "-Xbootclasspath"};
// -DNAME sets NAME to the empty text and -DNAME=VALUE to VALUE: a property is named by what comes
// before the first '=', or by all of it.
constexpr std::string_view reserved_properties[] = {"java.class.path", "app.dir", "sun.java.command"};
// -XX:NAME=V, -XX:NAME:=V, -XX:+NAME and -XX:-NAME all set the flag NAME: the class-data archive,
// and another file of options, which these rules would not see.
constexpr std::string_view reserved_flags[] = {"SharedArchiveFile", "AutoCreateSharedArchive", "VMOptionsFile",
                                               "Flags"};

bool is_one_of(std::string_view name, std::span<const std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool is_reserved(std::string_view option) {
    if (is_one_of(option, reserved_exact)) return true;
    if (std::any_of(std::begin(reserved_prefixes), std::end(reserved_prefixes),
                    [&](std::string_view prefix) { return option.starts_with(prefix); }))
        return true;
    if (option.starts_with("-D")) {
        const std::string_view property = option.substr(2);
        return is_one_of(property.substr(0, property.find('=')), reserved_properties);
    }
    if (option.starts_with("-XX:")) {
        std::string_view flag = option.substr(4);
        if (flag.starts_with('+') || flag.starts_with('-')) flag.remove_prefix(1);
        const auto is_name_character = [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        };
        const auto end = std::find_if_not(flag.begin(), flag.end(), is_name_character);
        return is_one_of(flag.substr(0, static_cast<std::size_t>(end - flag.begin())), reserved_flags);
    }
    return false;
}

std::string_view trim(std::string_view line) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
    return line;
}

std::string problem_with(std::string_view option) {
    std::string quoted = "\"";
    quoted += option;
    quoted += '"';
    if (option.find('\0') != std::string_view::npos) return "holds a NUL byte; write the option as text";
    if (!option.starts_with('-'))
        return quoted + " is not a JVM option (those start with '-'); fix the line or make it a comment with '#'";
    const std::string_view name = option.substr(0, option.find_first_of("=:"));
    if (name.find_first_of(" \t") != std::string_view::npos)
        return quoted +
               " holds more than one option; put one option a line, and a value after '=' as in "
               "--add-opens=java.base/java.lang=ALL-UNNAMED";
    if (is_reserved(option))
        return quoted + " would change what the application runs, which its bundle decides; remove the line";
    return {};
}

}  // namespace

UserJvmOptions parse_user_jvm_options(std::string_view text) {
    UserJvmOptions parsed;
    std::size_t number = 0;
    for (std::size_t from = 0; from < text.size();) {
        auto end = text.find('\n', from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(from, end - from));
        from = end + 1;
        ++number;
        if (line.empty() || line.starts_with('#')) continue;
        if (auto problem = problem_with(line); !problem.empty()) {
            parsed.options.clear();
            parsed.bad_line = number;
            parsed.problem = std::move(problem);
            return parsed;
        }
        parsed.options.emplace_back(line);
    }
    return parsed;
}

}  // namespace kestrova
