#include "tools/subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "platform/file_system.h"
#include "tools/packaging.h"

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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd(), 2);
    if (directory) posix_spawn_file_actions_addchdir_np(&actions, directory->c_str());

    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers;
    arg_pointers.reserve(args.size() + 1);
    for (auto& arg : args) arg_pointers.push_back(arg.data());
    arg_pointers.push_back(nullptr);
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!feeds_jvm_options(*entry)) env.push_back(*entry);
    env.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, args.front().c_str(), &actions, nullptr, arg_pointers.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw PackError(fill(msg_cannot_start, {args.front(), std::generic_category().message(spawned)}));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw PackError(fill(msg_cannot_wait, {args.front(), std::generic_category().message(errno)}));
    }
    ToolResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
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
