#include "launcher/command_line.h"

#include <cstddef>

namespace kestrova {

namespace {

int kept_argc = 0;
char** kept_argv = nullptr;

// glibc hands the executable's initialisers argc, argv and envp. This one runs before the C++
// static initialisers (its priority), the launch record's among them, so main need not store them.
__attribute__((constructor(101))) void keep_command_line(int argc, char** argv, char**) {
    kept_argc = argc;
    kept_argv = argv;
}

}  // namespace

std::span<const char* const> command_line_arguments() {
    if (kept_argc <= 1 || kept_argv == nullptr) return {};
    return {kept_argv + 1, static_cast<std::size_t>(kept_argc - 1)};
}

}  // namespace kestrova
