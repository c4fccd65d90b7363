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
std::string build_sun_java_command(std::string_view main_class,
                                   std::span<const std::string> app_args,
                                   std::span<const char* const> command_line_args);

// The app directory text before it is resolved: the executable path cut at its last '/', then
// "/../Resources/". A path without '/' is taken as relative to the current directory.
std::string unresolved_app_dir(std::string_view executable_path);

// Replaces every "&&" in `option` with `app_dir`, scanning left to right without overlap and never
// rescanning inserted text, so an app directory that itself contains "&&" still terminates.
std::string expand_app_dir_tokens(std::string_view option, std::string_view app_dir);

}  // namespace kestrova
