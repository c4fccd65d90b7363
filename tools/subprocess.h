// Running the JDK's own tools (jdeps, jlink, java) from the packaging tool: a child process whose
// standard output and error are collected whole.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::pack {

struct ToolResult {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] a path, or a name looked up in PATH) with the tool's environment less the variables that feed options
// to a JVM behind its command line (_JAVA_OPTIONS, JDK_JAVA_OPTIONS, JAVA_TOOL_OPTIONS, CLASSPATH),
// so that what a JDK tool does depends only on the arguments given here. Standard input is
// /dev/null; `directory`, when given, is its working directory (Debian's tools read debian/ there).
// Throws PackError when the program cannot be started at all.
ToolResult run_tool(const std::vector<std::string>& argv,
                    const std::optional<std::filesystem::path>& directory = std::nullopt);

// The first line of `text` that is not blank, without its line break: the summary of a tool's
// complaint, for a one-line message.
std::string first_line(const std::string& text);

}  // namespace kestrova::pack
