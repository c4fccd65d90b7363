// The Linux backend's child processes, spawned and (for one that dies with its parent) forked.
#include "platform/linux/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "kestrova/file_descriptor.h"
#include "tests/support/process_runner.h"

namespace kestrova::platform::linux_backend {
namespace {

using kestrova::testing::read_whole;
using kestrova::testing::value_of;

class ChildProcess : public ::testing::TestWithParam<bool> {
protected:
    ChildSetup setup() const {
        ChildSetup s;
        s.dies_with_parent = GetParam();
        return s;
    }
};

bool is_gone(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }

// The child sees its streams, none of our other descriptors, and signals as a fresh program does,
// whatever this thread blocked or ignored.
TEST_P(ChildProcess, StartsFreshWithTheStreamsGiven) {
    const FileDescriptor input(::memfd_create("input", 0));
    const FileDescriptor output(::memfd_create("output", 0));
    ASSERT_EQ(::write(input.get(), "hello\n", 6), 6);
    ASSERT_EQ(::lseek(input.get(), 0, SEEK_SET), 0);
    const FileDescriptor stray(::open("/dev/null", O_RDONLY));  // no close-on-exec
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &old);

    ChildSetup s = setup();
    s.input = ChildStream::from(input.get());
    s.output = ChildStream::from(output.get());
    s.error = ChildStream::to_null();
    Child child;
    // The shell reads its own descriptors and signal state with built-ins alone: a pipeline or a
    // program it started would catch it between a fork and a close, with a pipe open or signals
    // blocked for the moment. Its glob holds the descriptor directory open, as 3.
    const int started = start_child({"/bin/sh", "-c",
                                     "read line; echo \"line=$line\"; printf fds=;"
                                     "for f in /proc/$$/fd/*; do printf '%s ' \"${f##*/}\"; done; echo;"
                                     "echo \"err=$(readlink /proc/$$/fd/2)\";"
                                     "while read -r key value; do case $key in"
                                     " SigBlk:) echo \"blocked=$value\";; SigIgn:) echo \"ignored=$value\";; esac;"
                                     " done < /proc/$$/status"},
                                    s, child);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGUSR2, &old, nullptr);
    ASSERT_EQ(started, 0);
    const ChildEnd end = child.reap();
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exit_status, 0);

    const std::string printed = read_whole(output.get());
    EXPECT_EQ(value_of(printed, "line"), "hello");
    EXPECT_EQ(value_of(printed, "fds"), "0 1 2 3 ");
    EXPECT_EQ(value_of(printed, "err"), "/dev/null");
    const auto mask_has = [&](const char* key, int signal) {
        return (std::stoull(value_of(printed, key).value_or("0"), nullptr, 16) >> (signal - 1)) & 1U;
    };
    EXPECT_FALSE(mask_has("blocked", SIGUSR1));
    EXPECT_FALSE(mask_has("ignored", SIGUSR2));
}

TEST_P(ChildProcess, NewSessionLeadsItsOwn) {
    for (const bool new_session : {false, true}) {
        const FileDescriptor output(::memfd_create("output", 0));
        ChildSetup s = setup();
        s.new_session = new_session;
        s.output = ChildStream::from(output.get());
        Child child;
        ASSERT_EQ(start_child({"/bin/sh", "-c", "echo \"session=$(cut -d' ' -f6 /proc/$$/stat)\""}, s, child), 0);
        child.reap();
        const bool leads = value_of(read_whole(output.get()), "session") == std::to_string(child.pid());
        EXPECT_EQ(leads, new_session);
    }
}

// Killing on request, and dropping a handle, leave no zombie; waiting for the end does not reap.
TEST_P(ChildProcess, EndsReapedWhateverTheWay) {
    Child killed;
    ASSERT_EQ(start_child({"/bin/sleep", "60"}, setup(), killed), 0);
    EXPECT_TRUE(killed.running());
    const ChildEnd end = killed.kill();
    EXPECT_EQ(end.signal, SIGKILL);
    EXPECT_TRUE(is_gone(killed.pid()));
    pid_t dropped_pid = -1;
    {
        Child dropped;
        ASSERT_EQ(start_child({"/bin/sleep", "60"}, setup(), dropped), 0);
        dropped_pid = dropped.pid();
    }
    EXPECT_TRUE(is_gone(dropped_pid));

    Child quick;
    ASSERT_EQ(start_child({"/bin/sh", "-c", "exit 3"}, setup(), quick), 0);
    EXPECT_EQ(quick.wait_for_end().exit_status, 3);
    EXPECT_FALSE(quick.reaped());
    EXPECT_FALSE(quick.running());
    EXPECT_EQ(quick.reap().exit_status, 3);
}

// A program that cannot start: posix_spawn says why, a forked child exits 127 as a shell's does.
TEST_P(ChildProcess, MissingProgramFails) {
    Child child;
    EXPECT_EQ(start_child({"/nonexistent/program"}, setup(), child), GetParam() ? 0 : ENOENT);
    EXPECT_EQ(child.started() ? child.reap().exit_status : -1, GetParam() ? 127 : -1);
}

INSTANTIATE_TEST_SUITE_P(Ways, ChildProcess, ::testing::Values(false, true),
                         [](const auto& way) { return way.param ? "Forked" : "Spawned"; });

// Work in the child goes on with our descriptors, and its result is the exit status.
TEST(ChildProcessWork, ExitsWithTheWorksResult) {
    const FileDescriptor output(::memfd_create("output", MFD_CLOEXEC));
    int fd = output.get();
    Child child;
    ASSERT_EQ(
        start_child_work([](void* argument) { return ::write(*static_cast<int*>(argument), "done", 4) == 4 ? 7 : 1; },
                         &fd, {}, child),
        0);
    EXPECT_EQ(child.reap().exit_status, 7);
    EXPECT_EQ(read_whole(output.get()), "done");
}

}  // namespace
}  // namespace kestrova::platform::linux_backend
