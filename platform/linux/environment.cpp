#include "platform/linux/environment.h"

#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/never_destroyed.h"
#include "platform/process.h"

extern char** environ;

namespace kestrova::platform::linux_backend {

namespace {

struct Snapshot {
    std::vector<std::string> entries;
    std::vector<char*> envp;
};

Snapshot& snapshot() {
    static NeverDestroyed<Snapshot> copy;
    static std::once_flag taken;
    std::call_once(taken, [] {
        Snapshot& s = copy.get();
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) s.entries.emplace_back(*e);
        for (auto& entry : s.entries) s.envp.push_back(entry.data());
        s.envp.push_back(nullptr);
    });
    return copy.get();
}

}  // namespace

void capture_environment() { snapshot(); }

char* const* captured_envp() { return snapshot().envp.data(); }

std::optional<std::string> captured_variable(std::string_view name) {
    for (const auto& entry : snapshot().entries) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=')
            return entry.substr(name.size() + 1);
    }
    return std::nullopt;
}

std::optional<std::string> find_program(std::string_view name) {
    const std::string path = captured_variable("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    std::size_t from = 0;
    for (;;) {
        const auto colon = path.find(':', from);
        const std::string dir = path.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        // An empty entry means the current directory.
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + std::string(name);
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return std::nullopt;
        from = colon + 1;
    }
}

}  // namespace kestrova::platform::linux_backend

namespace kestrova::platform {

std::optional<std::string> environment_variable(std::string_view name) {
    return linux_backend::captured_variable(name);
}

}  // namespace kestrova::platform
