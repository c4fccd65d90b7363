#include "platform/linux/transfer_setup.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <string_view>

#include "platform/linux/environment.h"
#include "platform/linux/url_loading_internal.h"

namespace kestrova::platform::linux_backend {

UrlResult failure(int code, const std::string& detail) {
    UrlError error = make_url_error(code);
    if (!detail.empty()) error.description += " (" + detail + ")";
    return UrlResult{std::nullopt, std::move(error)};
}

long timeout_milliseconds(double seconds) {
    // Not a positive number: the default of UrlRequest; libcurl's 0 would mean "never".
    if (!(seconds > 0)) seconds = UrlRequest{}.timeout_seconds;
    const double ms = std::ceil(seconds * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<long>::max())) return std::numeric_limits<long>::max();
    return static_cast<long>(ms);
}

// libcurl measures a stall in whole seconds; a shorter one is rounded up, never down to "never".
long stall_seconds(double seconds) {
    const long ms = timeout_milliseconds(seconds);
    return ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
}

constexpr const char* allowed_protocols = "http,https";

std::optional<UrlResult> Transfer::configure(const std::string& url, long connect_timeout_ms) {
    if (easy_ == nullptr) return failure(url_error::unknown, "curl_easy_init failed");
    // The transfer only reads what the environment copy says: libcurl would otherwise call getenv
    // for proxies while the JVM thread calls unsetenv.
    const linux_backend::ProxySettings proxy = linux_backend::proxy_settings_for(url, [](std::string_view name) {
        return linux_backend::captured_variable(name);
    });
    // No cache is kept; these ask every cache on the way not to answer from theirs either.
    if (!add_header("Cache-Control: no-cache") || !add_header("Pragma: no-cache"))
        return failure(url_error::unknown, "out of memory");

    if (set(CURLOPT_URL, url.c_str()) != CURLE_OK)
        return failure(url_error::bad_url);  // libcurl checks the length here
    const bool set_ok = set(CURLOPT_NOSIGNAL, 1L) == CURLE_OK && set(CURLOPT_HTTPHEADER, headers_) == CURLE_OK &&
                        set(CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms) == CURLE_OK &&
                        set(CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK && set(CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
                        set(CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK && set(CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
                        // "" means no proxy and no exceptions; either way libcurl stops looking at getenv.
                        set(CURLOPT_PROXY, proxy.proxy.c_str()) == CURLE_OK &&
                        set(CURLOPT_NOPROXY, proxy.no_proxy.c_str()) == CURLE_OK;
    if (!set_ok) return failure(url_error::unknown, "a transfer option was refused");

    // Only http and https, for the first request and for every redirect: a redirect to file:// must
    // never read a local file. A request that began with https is redirected to https only: a
    // redirect to http would hand the rest of it to anyone on the way. libcurl before 7.85 knows only
    // the bitmask options.
    const char* redirects = linux_backend::redirect_protocols_for(url);
    const bool secure = std::string_view(redirects) == "https";
    if (set(CURLOPT_PROTOCOLS_STR, allowed_protocols) != CURLE_OK ||
        set(CURLOPT_REDIR_PROTOCOLS_STR, redirects) != CURLE_OK) {
        const long mask = CURLPROTO_HTTP | CURLPROTO_HTTPS;
        if (set(CURLOPT_PROTOCOLS, mask) != CURLE_OK ||
            set(CURLOPT_REDIR_PROTOCOLS, secure ? static_cast<long>(CURLPROTO_HTTPS) : mask) != CURLE_OK)
            return failure(url_error::unknown, "the protocols cannot be restricted");
    }
    return std::nullopt;
}

UrlResponse response_of(const Libcurl& c, Transfer& t) {
    long status = 0;
    UrlResponse response;
    if (c.easy_getinfo(t.easy(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
        response.http_status = static_cast<int>(status);
    return response;
}

void complete(const std::function<void(const UrlResult&)>& done, const UrlResult& result) noexcept {
    if (!done) return;
    try {
        done(result);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrova: a URL completion failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "kestrova: a URL completion failed\n");
    }
}

const char* redirect_protocols_for(std::string_view url) {
    constexpr std::string_view secure = "https://";
    const bool is_secure = url.size() >= secure.size() &&
                           std::equal(secure.begin(), secure.end(), url.begin(), [](char expected, char c) {
                               return std::tolower(static_cast<unsigned char>(c)) == expected;
                           });
    return is_secure ? "https" : allowed_protocols;
}

int url_error_code_for_curl(int curl_code, bool body_too_large) {
    switch (static_cast<CURLcode>(curl_code)) {
        case CURLE_OPERATION_TIMEDOUT:
            return url_error::timed_out;
        case CURLE_COULDNT_CONNECT:
            return url_error::cannot_connect_to_host;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return url_error::cannot_find_host;
        // The server's certificate was checked and refused.
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return url_error::server_certificate_untrusted;
        // The TLS handshake failed before any certificate could be judged, or the local trust store
        // could not be read: the connection is not secure, but the server's certificate is not known
        // to be bad.
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            return url_error::secure_connection_failed;
        case CURLE_TOO_MANY_REDIRECTS:
            return url_error::http_too_many_redirects;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return url_error::unsupported_url;
        case CURLE_URL_MALFORMAT:
            return url_error::bad_url;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return url_error::network_connection_lost;
        case CURLE_FILESIZE_EXCEEDED:
            return url_error::data_length_exceeds_maximum;
        case CURLE_WRITE_ERROR:
            return body_too_large ? url_error::data_length_exceeds_maximum : url_error::unknown;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return url_error::bad_server_response;
        case CURLE_ABORTED_BY_CALLBACK:
            return url_error::cancelled;
        default:
            return url_error::unknown;
    }
}

}  // namespace kestrova::platform::linux_backend
