// Computing the launch, apart from doing it: each step that turns the launch record and the command
// line into JVM options and Java strings is a pure function here, so it can be tested without a JVM.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/burned_in_data.h"

namespace kestrova {

// What a JVM is created for: the application, or the class-data helper's dump of an archive from a
// class list an earlier start recorded (no application code runs, and nothing of the command line).
enum class LaunchPurpose { application, class_data_dump };

// What the launch reads from its surroundings, gathered by the JVM host before it plans.
struct LaunchInputs {
    std::span<const char* const> command_line;  // argv[1] onward
    std::span<const std::string> user_options;  // the user's file of JVM options, already checked
    std::string_view app_dir;                   // resolved where it can be
    std::string_view home;                      // the user's home; empty when it cannot be found
    std::string_view class_list;                // a dump's class list (full path)
    std::string_view archive;                   // a dump's temporary archive (full path)
};

// What the start does about the class-data archive once the options are known.
enum class ClassDataStep {
    // The start chooses from the planned options and the per-user cache (use an archive, record a
    // list, or nothing) and appends its options: launcher/class_data_start.h.
    chosen_at_start,
    // The options to dump the archive follow the others (LaunchPlan::class_data_options).
    dump,
};

// A launch, worked out before anything of it runs; the JVM host carries it out. The JVM gets
// jvm_options, then class_data_options, in that order.
struct LaunchPlan {
    // The record's options, then the user's (so that theirs win where the JVM takes the last of
    // two), then for the application -Dsun.java.command; every "&&" and home_token expanded.
    std::vector<std::string> jvm_options;
    std::string main_class;
    // The record's arguments, then the command line's, for the application's main method.
    std::vector<std::string> arguments;
    // Whether the JVM gets the host's output, abort and exit hooks: the application's does, so that
    // a refusal is quoted and the end goes through the platform; a dump's ends its own process.
    bool jvm_hooks = false;
    ClassDataStep class_data = ClassDataStep::chosen_at_start;
    std::vector<std::string> class_data_options;
    // An option (the record's or the user's) names the user's home, which cannot be found: the
    // launch cannot go on.
    bool home_missing = false;
};

// The environment variables through which the JVM would take options that are not the bundle's;
// the host removes them before it creates any JVM.
inline constexpr std::string_view java_option_variables[] = {"_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS"};

// Plans a launch of `record` for `purpose`. Pure: the same record and inputs give the same plan.
LaunchPlan plan_launch(const BurnedInData& record, const LaunchInputs& inputs, LaunchPurpose purpose);

// "-Dsun.java.command=" + main class, then " " + each recorded argument, then " " + each
// command-line argument (argv[1] onward), verbatim.
std::string build_sun_java_command(std::string_view main_class, std::span<const std::string> app_args,
                                   std::span<const char* const> command_line_args);

// The app directory text before it is resolved: the executable path cut at its last '/', then
// "/../Resources/". A path without '/' is taken as relative to the current directory.
std::string unresolved_app_dir(std::string_view executable_path);

// The token recorded options write for the user's home directory, so that a packager's own home is
// never baked into a bundle. Doubled like "&&", and as unlikely in a real option.
inline constexpr std::string_view home_token = "~~";

// Replaces every "&&" with `app_dir` and every home_token with `home` in one left-to-right pass, so
// inserted text is never rescanned.
std::string expand_option_tokens(std::string_view option, std::string_view app_dir, std::string_view home);

// The JVM options a user keeps in a file, one a line: blank lines and lines starting with '#' are
// skipped, each line is trimmed of spaces and tabs (and a carriage return). A line is refused when
// it is no JVM option (it does not start with '-'), when it holds more than one (white space before
// its first '=' or ':', as in "-Xmx2g -Xss1m" or "--add-opens X"), or when it would take the launch
// out of the bundle's hands: the class path or the boot class path, the main JAR, the app directory,
// the command, the class-data archive, or another options file, in every form the JVM reads them.
struct UserJvmOptions {
    std::vector<std::string> options;
    std::size_t bad_line = 0;  // 1-based; 0 when every line is good
    std::string problem;       // what is wrong with that line and what to do, for one message
};
UserJvmOptions parse_user_jvm_options(std::string_view text);

}  // namespace kestrova
