#include "platform/linux/curl_library.h"

#include <map>
#include <mutex>

#include "platform/never_destroyed.h"
#include "platform/shared_library.h"

namespace kestrova::platform::linux_backend {

namespace {

LoadedLibcurl load_libcurl(const char* library) {
    LoadedLibcurl result;
    const SharedLibrary handle = SharedLibrary::open(library, &result.failure);
    if (!handle.loaded()) return result;
    Libcurl c{};
    const bool ok =
        handle.resolve("curl_global_init", c.global_init) && handle.resolve("curl_easy_init", c.easy_init) &&
        handle.resolve("curl_easy_setopt", c.easy_setopt) && handle.resolve("curl_easy_perform", c.easy_perform) &&
        handle.resolve("curl_easy_getinfo", c.easy_getinfo) && handle.resolve("curl_easy_cleanup", c.easy_cleanup) &&
        handle.resolve("curl_easy_strerror", c.easy_strerror) && handle.resolve("curl_slist_append", c.slist_append) &&
        handle.resolve("curl_slist_free_all", c.slist_free_all);
    if (!ok) {
        result.failure = std::string(library) + " lacks a libcurl function";
        return result;
    }
    // Once per process, before any transfer; the loader's call_once keeps it to one thread.
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        result.failure = "curl_global_init failed";
        return result;
    }
    result.api = c;
    return result;
}

}  // namespace

const LoadedLibcurl& libcurl(const char* library) {
    static NeverDestroyed<std::mutex> mutex;
    static NeverDestroyed<std::map<std::string, LoadedLibcurl>> loaded;
    std::lock_guard lock(mutex.get());
    auto found = loaded.get().find(library);
    if (found == loaded.get().end()) found = loaded.get().emplace(library, load_libcurl(library)).first;
    return found->second;  // map nodes never move, and the map is never destroyed
}

}  // namespace kestrova::platform::linux_backend
