// URL loading's pieces below load_url that the backend's transfer files share and the tests call
// directly: the transfer on the calling thread, the choice of proxy, the protocols of redirects and
// the error mapping.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/url_loading.h"

namespace kestrova::platform::linux_backend {

// The soname load_url loads libcurl from.
inline constexpr const char* libcurl_name = "libcurl.so.4";

// Runs the transfer on the calling thread with libcurl loaded (once per name) from `library`.
UrlResult perform_url_transfer(const UrlRequest& request, const char* library = libcurl_name);

// The proxy for `url` and the hosts that bypass it, from the variables `lookup` gives, chosen the
// way libcurl would choose them from the environment: http uses http_proxy (lower case only), https
// uses https_proxy then HTTPS_PROXY, and either falls back to all_proxy then ALL_PROXY; no_proxy
// then NO_PROXY. Empty values count as unset; empty results mean "no proxy" and "no exceptions".
struct ProxySettings {
    std::string proxy;
    std::string no_proxy;
};
ProxySettings proxy_settings_for(std::string_view url,
                                 const std::function<std::optional<std::string>(std::string_view)>& lookup);

// The protocols a transfer of `url` may be redirected to, as libcurl's CURLOPT_REDIR_PROTOCOLS_STR
// takes them: "https" once the request began with https (in any case), else "http,https".
const char* redirect_protocols_for(std::string_view url);

// The URL error code of a libcurl result code. `body_too_large` says the write callback refused
// the body for its size (libcurl reports that as a write error).
int url_error_code_for_curl(int curl_code, bool body_too_large);

}  // namespace kestrova::platform::linux_backend
