#include "tools/program_start.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace kestrova::pack {

ProgramStream ProgramStream::null_input() { return file("/dev/null", O_RDONLY); }

pid_t start_program(const ProgramStart& start) {
    if (start.argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program to start");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const ProgramStream* streams[] = {&start.input, &start.output, &start.error};
    for (int target = 0; target <= 2; ++target) {
        const ProgramStream& stream = *streams[target];
        if (stream.kind == ProgramStream::Kind::descriptor)
            posix_spawn_file_actions_adddup2(&actions, stream.fd, target);
        if (stream.kind == ProgramStream::Kind::file)
            posix_spawn_file_actions_addopen(&actions, target, stream.path.c_str(), stream.flags, 0600);
        if (stream.kind == ProgramStream::Kind::closed) posix_spawn_file_actions_addclose(&actions, target);
    }
    // glibc clears close-on-exec when a descriptor is duplicated onto itself.
    for (int fd : start.pass_fds) posix_spawn_file_actions_adddup2(&actions, fd, fd);
    if (start.directory) posix_spawn_file_actions_addchdir_np(&actions, start.directory->c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (start.own_process_group) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }

    std::vector<char*> args;
    args.reserve(start.argv.size() + 1);
    for (const auto& a : start.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    if (start.environment) {
        for (const auto& entry : *start.environment) env.push_back(const_cast<char*>(entry.c_str()));
        env.push_back(nullptr);
    }
    char* const* envp = start.environment ? env.data() : environ;

    pid_t pid = -1;
    const int spawned = start.search_path ? ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp)
                                          : ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "cannot start " + start.argv[0]);
    return pid;
}

int wait_for_program(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "cannot wait for a program");
    }
    return status;
}

int shell_status(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

}  // namespace kestrova::pack
