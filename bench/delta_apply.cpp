// Applies one delta as the updater does (the old bundle and the target read and written through
// descriptors) and prints the time from the start of applying to the built tree's verified digest,
// and the process's peak resident memory. Usage: kestrova-bench-delta-apply DELTA OLD.app INTO_DIR
// FROM_VERSION (the new bundle is made as INTO_DIR/NAME.app, NAME.app being OLD.app's name).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "protocol/delta.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: kestrova-bench-delta-apply DELTA OLD.app INTO_DIR FROM_VERSION\n", stderr);
        return 2;
    }
    const int delta = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    const int old_bundle = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int into = ::open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (delta < 0 || old_bundle < 0 || into < 0) {
        std::perror("open");
        return 1;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        kestrova::sparkle::apply_delta(delta, old_bundle, argv[4], into,
                                       std::filesystem::path(argv[2]).filename().string());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("apply_seconds=%.3f\npeak_resident_kib=%ld\n", seconds, usage.ru_maxrss);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
