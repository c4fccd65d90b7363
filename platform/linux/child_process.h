// Starting child processes from the launcher: what each standard descriptor gets, nothing else of
// ours, signals as a fresh program expects them, and a handle that reaps the child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrova::platform::linux_backend {

// What the child gets on one of descriptors 0, 1 and 2.
struct ChildStream {
    enum class Kind { inherit, null, descriptor };
    Kind kind = Kind::inherit;
    int fd = -1;  // with `descriptor`: ours, 3 or above, duplicated onto the child's

    static ChildStream inherited() { return {}; }
    static ChildStream to_null() { return {Kind::null, -1}; }
    // A descriptor below 0 keeps ours, so that callers can pass an optional one as it is.
    static ChildStream from(int fd) { return fd >= 0 ? ChildStream{Kind::descriptor, fd} : ChildStream{}; }
};

struct ChildSetup {
    ChildStream input, output, error;
    bool new_session = false;
    // Killed when this process ends, however it ends. posix_spawn cannot ask for that, so such a
    // child is forked.
    bool dies_with_parent = false;
    // nullptr: the captured environment.
    char* const* envp = nullptr;
};

// How a child ended.
struct ChildEnd {
    bool exited = false;  // by exit, with `exit_status`; otherwise killed by `signal`
    int exit_status = -1;
    int signal = 0;
};

// A started child. The destructor of one not yet reaped kills it and reaps it, so no path leaves
// a zombie or a dialog behind; release() gives up a child meant to outlive us. Not thread-safe:
// a caller that waits on one thread and signals on another holds its own lock around reap(),
// running() and signal(), as only then is the pid sure to be still our child's.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool reaped() const { return reaped_; }

    // Blocks until the child ends, without reaping it: its pid stays ours to signal. Any thread.
    ChildEnd wait_for_end() const;
    // Blocks until the child ends and reaps it; from then on it is never signalled.
    ChildEnd reap();
    // Whether it is still running (not ended, not reaped).
    bool running() const;
    // Sends `signal` while the child is unreaped; harmless afterwards.
    void signal(int signal) const;
    // Kills and reaps it.
    ChildEnd kill();
    // Forgets the child without waiting: for one that outlives this process.
    void release() { pid_ = -1; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    ChildEnd end_;
};

// Starts `argv` (argv[0] a path) with `setup`; every descriptor of ours from 3 up is closed in the
// child, its signal mask is empty and every disposition the default. Returns 0 or the errno that
// kept it from starting (then `child` is not started). posix_spawn, which is safe in a process
// with threads, unless `dies_with_parent` needs the fork path.
int start_child(const std::vector<std::string>& argv, const ChildSetup& setup, Child& child);

// Runs `work(argument)` in a forked child with `setup`'s streams, session and end, which exits with
// its result. The work goes on as this program, so it keeps this program's other descriptors (a
// lock it holds) and its signal handling. The child
// of a process with threads may only make async-signal-safe calls, so `work` that does more (the
// class-data dump runs a JVM) is for a process that has a single thread.
int start_child_work(int (*work)(void*), void* argument, const ChildSetup& setup, Child& child);

}  // namespace kestrova::platform::linux_backend
