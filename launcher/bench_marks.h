// Time marks for the benchmarks (bench/): compiled in only when the build defines KESTROVA_BENCH
// (CMake option KESTROVA_BENCH), and nothing at all otherwise.
//
// KESTROVA_BENCH_START(name) reads KESTROVA_BENCH_FD (a descriptor number the benchmark driver
// passes open) and registers an atexit handler that marks "exit"; call it once at the top of main,
// before any thread starts, since getenv races with the JVM thread's unsetenv. KESTROVA_BENCH_MARK
// writes one line "kestrova-bench NAME NANOSECONDS" of CLOCK_MONOTONIC, the clock of Java's
// System.nanoTime on Linux and of the driver, so all three compare directly. Without the variable
// the marks write nothing.
#pragma once

#ifdef KESTROVA_BENCH

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace kestrova::bench {

inline int mark_fd = -1;

inline void mark(const char* name) noexcept {
    if (mark_fd < 0) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[128];
    const int n = std::snprintf(line, sizeof line, "kestrova-bench %s %lld\n", name,
                                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    if (n > 0) (void)!write(mark_fd, line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

inline void mark_exit() noexcept { mark("exit"); }

inline void start(const char* name) noexcept {
    if (const char* fd = std::getenv("KESTROVA_BENCH_FD")) mark_fd = std::atoi(fd);
    mark(name);
    std::atexit(mark_exit);
}

}  // namespace kestrova::bench

#define KESTROVA_BENCH_START(name) ::kestrova::bench::start(name)
#define KESTROVA_BENCH_MARK(name) ::kestrova::bench::mark(name)

#else

#define KESTROVA_BENCH_START(name) ((void)0)
#define KESTROVA_BENCH_MARK(name) ((void)0)

#endif
