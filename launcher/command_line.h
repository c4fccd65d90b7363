// The command line the launcher was started with, kept once for what needs it: the JVM host, which
// hands the arguments to the application, and the update start-up, which starts another version of
// the application with the same ones.
#pragma once

#include <span>

namespace kestrova {

// The arguments after the program's name, as the system gave them. Kept before the launch record
// is read, so that a launch refused there still has them to start the previous version with. Any
// thread: written once before any thread exists, then only read.
std::span<const char* const> command_line_arguments();

}  // namespace kestrova
