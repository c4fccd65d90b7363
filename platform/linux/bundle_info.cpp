#include "platform/bundle_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"

#include "platform/linux/bundle_info_internal.h"
#include "platform/never_destroyed.h"
#include "platform/process.h"

namespace kestrova::platform {

namespace linux_backend {

std::optional<std::string> info_dictionary_string_from(const std::string& path, std::string_view key) {
    const auto entries = read_info_dictionary(path);
    if (auto found = entries.find(key); found != entries.end()) return found->second;
    return std::nullopt;
}

std::string contents_directory_of(std::string_view executable_path) {
    const auto last = executable_path.rfind('/');
    if (last == std::string_view::npos) return ".";
    if (last == 0) return "/";  // the executable sits in the root, whose parent is itself
    const auto dir = executable_path.substr(0, last);
    const auto parent_slash = dir.rfind('/');
    if (parent_slash == std::string_view::npos) return ".";
    if (parent_slash == 0) return "/";
    return std::string(dir.substr(0, parent_slash));
}

}  // namespace linux_backend

std::string bundle_contents_directory() {
    std::vector<char> buffer(4096);
    for (;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        if (get_executable_path(buffer.data(), &size) == 0) break;
        if (buffer.size() >= (1u << 20)) return ".";  // no executable path is that long
        buffer.resize(buffer.size() * 2);
    }
    return linux_backend::contents_directory_of(buffer.data());
}

bool info_dictionary_may_hold(std::string_view key) {
    // XML and binary property lists alike store an ASCII key's name as its bytes; a file larger
    // than any Info.plist is left to the reader. The bytes are read once, however many keys a
    // start asks about.
    constexpr std::size_t limit = 1u << 20;
    enum class Bytes { missing, too_large, read };
    static NeverDestroyed<std::string> text;
    static Bytes bytes = Bytes::missing;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path =
            (std::filesystem::path(bundle_contents_directory()) / bundle_layout::info_plist).string();
        const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return;
        bytes = read_up_to(fd.get(), text.get(), limit + 1) != 0 || text.get().size() > limit ? Bytes::too_large
                                                                                              : Bytes::read;
    });
    if (bytes != Bytes::read) return bytes == Bytes::too_large;
    return text.get().find(key) != std::string::npos;
}

std::optional<std::string> info_dictionary_string(std::string_view key) {
    // Read once, as NSBundle caches its information dictionary: the file does not change while the
    // application runs.
    static NeverDestroyed<std::map<std::string, std::string, std::less<>>> cache;
    static std::once_flag once;
    std::call_once(once, [] {
        cache.get() = read_info_dictionary(
            (std::filesystem::path(bundle_contents_directory()) / bundle_layout::info_plist).string());
    });
    const auto& entries = cache.get();
    if (auto found = entries.find(key); found != entries.end()) return found->second;
    return std::nullopt;
}

}  // namespace kestrova::platform
