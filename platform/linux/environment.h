// A copy of the process environment taken on the main thread before the JVM thread starts. The JVM
// thread calls unsetenv while the main thread works, so platform services (the alert's child
// process, for instance) read this copy and never the live environment.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform::linux_backend {

// Takes the copy; later calls keep the first one. Services that run before anyone called it take
// it themselves.
void capture_environment();

// The copy as an envp array for a child process.
char* const* captured_envp();

// A variable's value in the copy.
std::optional<std::string> captured_variable(std::string_view name);

// The first executable called `name` in the copy's PATH.
std::optional<std::string> find_program(std::string_view name);

}  // namespace kestrova::platform::linux_backend
