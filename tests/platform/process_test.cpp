// The process services that end or replace the process, each run in a child of its own.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/process.h"
#include "test_environment.h"

namespace kestrova::testing {
namespace {

struct ChildResult {
    int status = -1;  // exit status, or -1 when it did not exit
    std::string out;
};

// Runs `body` in a forked child whose standard output is read back; the child ends with status
// 99 when `body` returns.
template <typename Body>
ChildResult run_in_child(Body body) {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        body();
        _exit(99);
    }
    close(out[1]);
    ChildResult result;
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        result.out.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

TEST(ReplaceProcess, NewProgramGetsTheStartingEnvironmentAndOnlyTheStandardDescriptors) {
    const auto r = run_in_child([] {
        platform::prepare_for_threads();
        // What the process changed or opened after its start must not reach the new program.
        setenv("KESTROVA_SET_AFTER_START", "leaked", 1);
        unsetenv(captured_probe_name);
        const int opened = open("/dev/null", O_RDONLY);  // without close-on-exec, as libraries do
        const std::string script = "printf '%s|%s|%s|' \"$0\" \"${KESTROVA_SET_AFTER_START-unset}\" \"$" +
                                   std::string(captured_probe_name) + "\"; [ -e /proc/self/fd/" +
                                   std::to_string(opened) + " ] && echo open || echo closed";
        char* arguments[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                             const_cast<char*>("the-new-argv0"), nullptr};
        platform::replace_process("/bin/sh", arguments);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("the-new-argv0|unset|") + captured_probe_value + "|closed\n");
}

TEST(ReplaceProcess, FailureReturnsWhyAndTheProcessGoesOn) {
    const auto r = run_in_child([] {
        char* arguments[] = {const_cast<char*>("/nonexistent/launcher"), nullptr};
        const int error = platform::replace_process("/nonexistent/launcher", arguments);
        std::printf("%s\n", error == ENOENT ? "ENOENT" : "other");
        std::fflush(stdout);
    });
    EXPECT_EQ(r.status, 99);
    EXPECT_EQ(r.out, "ENOENT\n");
}

std::atomic<bool> end_action_started{false};
// The thread that makes the second end, once it is about to.
std::atomic<pid_t> second_end_thread{0};

// Whether `thread` of this process is blocked (state S), read from /proc.
bool thread_is_blocked(pid_t thread) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), {});
    // "tid (comm) state ...": the command name may hold spaces and parentheses.
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

// Writes a line when it starts and another once the second end is under way: that thread has
// called end_process and blocks there, as nothing else between the two can block it. An end that
// ran the action again would print "started" twice; one that cut it short would lose "finished".
void end_action_that_outlasts_the_second_end(int) {
    end_action_started.store(true);
    std::printf("started\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (second_end_thread.load() == 0 || !thread_is_blocked(second_end_thread.load())) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::printf("the second end never waited\n");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The order is settled; a while longer lets a second end that only paused before its own exit
    // cut the action short, as it would cut a slow install.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("finished\n");
    std::fflush(stdout);
}

TEST(EndOfProcess, ActionRunsOnceAndASecondEndWaitsForIt) {
    const auto r = run_in_child([] {
        platform::run_before_end_of_process(&end_action_that_outlasts_the_second_end);
        std::thread first([] { platform::end_process(3); });
        while (!end_action_started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // The second end comes while the action runs: it must neither run it again nor cut it short.
        second_end_thread.store(static_cast<pid_t>(gettid()));
        platform::end_process(4);
    });
    EXPECT_EQ(r.status, 3) << "the first end's status is the process's";
    EXPECT_EQ(r.out, "started\nfinished\n");
}

TEST(EndOfProcess, WithoutAnActionTheStatusIsAllThereIs) {
    const auto r = run_in_child([] { platform::end_process(7); });
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace kestrova::testing
