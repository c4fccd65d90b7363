#include "tools/subprocess.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "platform/file_system.h"
#include "tools/packaging.h"
#include "tools/program_start.h"

extern char** environ;

namespace kestrova::pack {

namespace {

constexpr std::string_view msg_cannot_start = "cannot start \"{}\": {}; check that the JDK is complete";
constexpr std::string_view msg_cannot_wait = "lost track of \"{}\": {}; run kestrova-pack again";

// Memory files rather than pipes: the child can never block on a full pipe while the other stream
// waits to be read.
class MemoryFile {
public:
    MemoryFile() : fd_(platform::create_memory_file("kestrova-pack")) {
        if (fd_.get() < 0) throw PackError("cannot create a memory file: " + std::generic_category().message(errno));
    }
    int fd() const { return fd_.get(); }
    // The child wrote through a copy of the descriptor, which shares its offset: read from the start.
    std::string contents() const {
        std::string text;
        if (::lseek(fd_.get(), 0, SEEK_SET) == 0) kestrova::read_up_to(fd_.get(), text, SIZE_MAX);
        return text;
    }

private:
    kestrova::FileDescriptor fd_;
};

bool feeds_jvm_options(std::string_view entry) {
    for (const std::string_view name : {"_JAVA_OPTIONS=", "JDK_JAVA_OPTIONS=", "JAVA_TOOL_OPTIONS=", "CLASSPATH="})
        if (entry.substr(0, name.size()) == name) return true;
    return false;
}

}  // namespace

ToolResult run_tool(const std::vector<std::string>& argv, const std::optional<std::filesystem::path>& directory) {
    MemoryFile out, err;
    ProgramStart start;
    start.argv = argv;
    start.search_path = true;
    start.input = ProgramStream::null_input();
    start.output = ProgramStream::from(out.fd());
    start.error = ProgramStream::from(err.fd());
    start.directory = directory;
    start.environment.emplace();
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!feeds_jvm_options(*entry)) start.environment->emplace_back(*entry);

    pid_t pid = -1;
    try {
        pid = start_program(start);
    } catch (const std::system_error& e) {
        throw PackError(fill(msg_cannot_start, {argv.front(), e.code().message()}));
    }
    int status = 0;
    try {
        status = wait_for_program(pid);
    } catch (const std::system_error& e) {
        throw PackError(fill(msg_cannot_wait, {argv.front(), e.code().message()}));
    }
    ToolResult result;
    result.status = shell_status(status);
    result.out = out.contents();
    result.err = err.contents();
    return result;
}

std::string first_line(const std::string& text) {
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) return line;
        from = end + 1;
    }
    return {};
}

}  // namespace kestrova::pack
