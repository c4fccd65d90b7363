// The base directory standard's places: $XDG_CONFIG_HOME (absolute), else ~/.config; the home from
// HOME, else the password database. Read from the environment copy, which any thread may use.
#include "platform/user_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "platform/linux/environment.h"

namespace kestrova::platform {

namespace {

// Far more than a file of options a person writes; a larger one is not a settings file.
constexpr std::size_t max_user_file_bytes = 1u << 20;

}  // namespace

std::string user_home_directory() {
    if (const auto home = linux_backend::captured_variable("HOME"); home && home->starts_with('/')) return *home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

std::string user_jvm_options_file(std::string_view bundle_identifier) {
    std::string config;
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    if (const auto xdg = linux_backend::captured_variable("XDG_CONFIG_HOME"); xdg && xdg->starts_with('/')) {
        config = *xdg;
    } else {
        const std::string home = user_home_directory();
        if (home.empty()) return {};
        config = home + "/.config";
    }
    return config + "/" + std::string(bundle_identifier) + "/jvm.options";
}

UserFile read_user_file(const std::string& path) {
    UserFile file;
    // Without O_NONBLOCK, opening a named pipe waits for a writer that may never come.
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        file.exists = errno != ENOENT && errno != ENOTDIR;
        file.error = file.exists ? errno : 0;
        return file;
    }
    file.exists = true;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        file.error = errno;
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.not_regular = true;
        return file;
    }
    file.error = read_up_to(fd.get(), file.text, max_user_file_bytes + 1);
    if (file.error == 0 && file.text.size() > max_user_file_bytes) file.error = EFBIG;
    return file;
}

}  // namespace kestrova::platform
