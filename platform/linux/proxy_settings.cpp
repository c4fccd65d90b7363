#include <algorithm>

#include "platform/linux/url_loading_internal.h"

namespace kestrova::platform::linux_backend {

ProxySettings proxy_settings_for(std::string_view url,
                                 const std::function<std::optional<std::string>(std::string_view)>& lookup) {
    auto first_set = [&](std::initializer_list<std::string_view> names) -> std::string {
        for (const auto name : names) {
            if (auto value = lookup(name); value && !value->empty()) return *value;
        }
        return {};
    };
    std::string scheme(url.substr(0, std::min(url.find("://"), url.size())));
    for (auto& ch : scheme) ch = static_cast<char>((ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : ch);

    ProxySettings settings;
    // HTTP_PROXY in upper case is left out on purpose, as libcurl does: CGI servers set it from a
    // request's "Proxy:" header.
    if (scheme == "http")
        settings.proxy = first_set({"http_proxy"});
    else if (scheme == "https")
        settings.proxy = first_set({"https_proxy", "HTTPS_PROXY"});
    if (settings.proxy.empty()) settings.proxy = first_set({"all_proxy", "ALL_PROXY"});
    settings.no_proxy = first_set({"no_proxy", "NO_PROXY"});
    return settings;
}

}  // namespace kestrova::platform::linux_backend
