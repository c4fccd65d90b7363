#include "core/launch_plan.h"

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
    dir += "/../Resources/";
    return dir;
}

std::string expand_app_dir_tokens(std::string_view option, std::string_view app_dir) {
    std::string expanded;
    expanded.reserve(option.size());
    std::size_t from = 0;
    for (auto at = option.find("&&"); at != std::string_view::npos; at = option.find("&&", from)) {
        expanded.append(option, from, at - from);
        expanded.append(app_dir);
        from = at + 2;
    }
    expanded.append(option, from);
    return expanded;
}

}  // namespace kestrova
