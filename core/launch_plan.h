// Computing the launch, apart from doing it: each step that turns the launch record and the command
// line into JVM options and Java strings is a pure function here, so it can be tested without a JVM.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

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
