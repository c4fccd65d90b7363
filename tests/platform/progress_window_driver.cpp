// Shows one progress window through the platform layer and reports what becomes of it, for the
// tests that watch that window on a display of their own.
//
//   kestrova_progress_window_driver TITLE TEXT CLOSE_FILE
//
// Prints "cancelled" each time the window's cancel runs, and "closed" once it has closed the window
// itself, which it does when CLOSE_FILE appears. It reports progress every 50 ms the whole time,
// also to a dialog the user has already dismissed, and after closing lingers a second, so that a
// cancel arriving late would still be printed; then it exits 0.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/alert.h"
#include "platform/run_loop.h"

int main(int argc, char** argv) {
    using namespace kestrova::platform;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s TITLE TEXT CLOSE_FILE\n", argv[0]);
        return 2;
    }
    const std::string close_file = argv[3];
    const ProgressWindowId window = show_progress_window(argv[1], argv[2], [] {
        std::puts("cancelled");
        std::fflush(stdout);
    });
    if (window == 0) return 3;

    int tick = 0;
    int closed_at = -1;
    RunLoop& loop = RunLoop::main();
    loop.add_timer(Timer::create(absolute_time_now(), 0.05, [&](Timer* timer) {
        ++tick;
        if (closed_at < 0) {
            const int percent = tick % 101;
            update_progress_window(window, percent / 100.0, "Downloading " + std::to_string(percent) + "%");
            if (access(close_file.c_str(), F_OK) == 0) {
                close_progress_window(window);
                closed_at = tick;
                std::puts("closed");
                std::fflush(stdout);
            }
        } else if (tick - closed_at >= 20) {
            timer->invalidate();
            loop.stop();
        }
    }));
    loop.run_in_default_mode(120, false);
    return 0;
}
