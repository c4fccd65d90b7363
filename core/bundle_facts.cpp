#include "kestrova/bundle_facts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"

namespace kestrova {

namespace {

std::optional<std::string> trimmed(std::optional<std::string> value) {
    if (!value) return std::nullopt;
    const std::string_view kept = trim_white_space(*value);
    if (kept.empty()) return std::nullopt;
    return std::string(kept);
}

// Whether `executable` is a regular file its owner may execute in the bundle's Contents/MacOS,
// every step opened without following a link.
bool is_launcher_inside(const std::filesystem::path& bundle, const std::string& executable) {
    int dir = ::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    for (const auto part : {bundle_layout::contents, bundle_layout::executables}) {
        if (dir < 0) return false;
        const int next = ::openat(dir, std::string(part).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(dir);
        dir = next;
    }
    if (dir < 0) return false;
    const FileDescriptor executables(dir);
    // The entry itself, not what a link there leads to: a link is not a launcher inside the bundle.
    struct stat info {};
    return ::fstatat(executables.get(), executable.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & S_IXUSR) != 0;
}

}  // namespace

std::optional<std::string> application_name_in(const InfoLookup& info) {
    if (auto name = trimmed(info(info_keys::bundle_display_name))) return name;
    return trimmed(info(info_keys::bundle_name));
}

BundleFacts read_bundle_facts(const std::filesystem::path& bundle, const InfoLookup& info) {
    BundleFacts facts;
    facts.identifier = info(info_keys::bundle_identifier).value_or("");
    facts.version = info(info_keys::bundle_version).value_or("");
    facts.name = application_name_in(info);
    const std::string executable = info(info_keys::bundle_executable).value_or("");
    if (!executable.empty() && executable.find('/') == std::string::npos && executable != "." && executable != ".." &&
        is_launcher_inside(bundle, executable))
        facts.launcher = bundle_layout::executables_of(bundle) / executable;
    return facts;
}

}  // namespace kestrova
