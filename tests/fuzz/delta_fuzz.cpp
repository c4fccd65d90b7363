// Feeds arbitrary bytes to the delta reader, as a whole delta file (inspected, then applied to an
// empty old bundle) and as a manifest's text. A delta passes the signature check before it is read,
// so only a publisher's key could send such bytes; still none of them may crash, read out of
// bounds, write outside the directory given, or be applied without its digest matching.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "protocol/delta.h"

namespace {

namespace fs = std::filesystem;

void check(bool condition) {
    if (!condition) std::abort();
}

// The old bundle (empty) and the directory the new one is built in, made once per process.
const fs::path& work() {
    static const fs::path path = [] {
        std::string name = (fs::temp_directory_path() / "kestrova-delta-fuzz-XXXXXX").string();
        check(::mkdtemp(name.data()) != nullptr);
        fs::create_directories(fs::path(name) / "old/App.app");
        fs::create_directories(fs::path(name) / "into");
        return fs::path(name);
    }();
    return path;
}

void clear(const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, ec);
    for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    try {
        kestrova::protocol::parse_delta_manifest(input);
    } catch (const kestrova::protocol::DeltaError&) {
    }

    const int fd = ::memfd_create("delta", MFD_CLOEXEC);
    check(fd >= 0);
    check(::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()));
    // Small limits, so that a declared size cannot make one run write for long.
    const kestrova::protocol::DeltaLimits limits{1 << 16, 1 << 20, 1 << 22};
    try {
        kestrova::protocol::inspect_delta(fd, limits);
    } catch (const kestrova::protocol::DeltaError&) {
    }
    const int old_fd = ::open((work() / "old/App.app").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int into = ::open((work() / "into").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(old_fd >= 0 && into >= 0);
    try {
        kestrova::protocol::apply_delta(fd, old_fd, "1.0", into, "App.app", limits);
    } catch (const kestrova::protocol::DeltaError&) {
    }
    ::close(into);
    ::close(old_fd);
    ::close(fd);
    // Nothing was written beside the built bundle, nor into the old one.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(work() / "into", ec)) check(entry.path().filename() == "App.app");
    check(fs::is_empty(work() / "old/App.app", ec));
    clear(work() / "into");
    return 0;
}
