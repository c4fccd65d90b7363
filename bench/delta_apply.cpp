// Installs one downloaded update into a staging area beside an installed bundle with the
// updater's own steps, and prints the time from the end of the download to the staged tree whose
// digest is verified (the signature checked, then the delta applied or the archive unpacked), the
// process's peak resident memory, and for a delta the bytes of its data that belong to the
// runtime. The staging area is removed at the end, the installed bundle left as it was.
// Usage: kestrova-bench-delta-apply delta|archive FILE INSTALLED.app PUBLIC_KEY SIGNATURE [FROM_VERSION]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "kestrova/file_descriptor.h"
#include "protocol/delta.h"
#include "updater/install_steps.h"

namespace {

namespace protocol = kestrova::protocol;
namespace updater = kestrova::updater;

// What the delta's data for files below Contents/runtime/ weighs: what of the runtime travels.
std::uint64_t runtime_bytes_sent(const char* delta) {
    const kestrova::FileDescriptor fd(::open(delta, O_RDONLY | O_CLOEXEC));
    std::uint64_t bytes = 0;
    for (const auto& e : protocol::inspect_delta(fd.get()).entries)
        if (e.path.starts_with("Contents/runtime/")) bytes += e.payload_bytes;
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const bool delta = argc == 7 && std::strcmp(argv[1], "delta") == 0;
    if (!delta && !(argc == 6 && std::strcmp(argv[1], "archive") == 0)) {
        std::fputs(
            "usage: kestrova-bench-delta-apply delta|archive FILE INSTALLED.app PUBLIC_KEY SIGNATURE "
            "[FROM_VERSION]\n",
            stderr);
        return 2;
    }
    try {
        const std::filesystem::path installed = argv[3];
        const auto start = std::chrono::steady_clock::now();
        const updater::DownloadedArchive download{std::filesystem::path(argv[2])};
        updater::verify_update_archive(download, std::string_view(argv[4]), std::string_view(argv[5]), download.size());
        updater::StagingArea staging(installed);
        if (delta)
            staging.build_from_delta(download, argv[6]);
        else
            staging.extract(download);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("seconds=%.3f\npeak_resident_kib=%ld\n", seconds, usage.ru_maxrss);
        if (delta)
            std::printf("runtime_bytes_sent=%llu\n", static_cast<unsigned long long>(runtime_bytes_sent(argv[2])));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
