// libcurl, loaded on the first transfer: its table of functions and the loader.
#pragma once

#define CURL_DISABLE_DEPRECATION 1  // the bitmask protocol options serve libcurl before 7.85
#include <curl/curl.h>

#include <optional>
#include <string>

namespace kestrova::platform::linux_backend {

// libcurl is loaded on the first transfer, not at start-up: a launch that downloads nothing must
// not pay for it (nor for the TLS library it brings). The header is used for types and constants
// only; every call goes through these pointers.
struct Libcurl {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
};

struct LoadedLibcurl {
    std::optional<Libcurl> api;  // absent when it could not be loaded
    std::string failure;         // why, then
};

// The table loaded (once per name, whichever thread asks first) from `library`; kept for the rest
// of the process.
const LoadedLibcurl& libcurl(const char* library);

}  // namespace kestrova::platform::linux_backend
