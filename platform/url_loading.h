// URL loading: one transfer on a worker thread, its completion called there.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace kestrova::platform {

// The URL error domain's codes that transfers report.
namespace url_error {
inline constexpr int unknown = -1;
inline constexpr int cancelled = -999;
inline constexpr int bad_url = -1000;
inline constexpr int timed_out = -1001;
inline constexpr int unsupported_url = -1002;
inline constexpr int cannot_find_host = -1003;
inline constexpr int cannot_connect_to_host = -1004;
inline constexpr int network_connection_lost = -1005;
inline constexpr int http_too_many_redirects = -1007;
inline constexpr int bad_server_response = -1011;
inline constexpr int file_does_not_exist = -1100;
inline constexpr int data_length_exceeds_maximum = -1103;
inline constexpr int secure_connection_failed = -1200;
inline constexpr int server_certificate_untrusted = -1202;
}  // namespace url_error

// An error in the URL error domain, with the platform's short English description of its code.
struct UrlError {
    int code = url_error::unknown;
    std::string description;
};
std::string url_error_description(int code);
UrlError make_url_error(int code);

struct UrlRequest {
    std::string url;
    double timeout_seconds = 30.0;
    std::size_t max_body_bytes = 1 << 20;  // a larger body is error -1103
    // No cached data is ever used: the platform keeps no cache.
};

struct UrlResponse {
    std::optional<int> http_status;  // absent when the response was not HTTP
    std::string body;
};

// The transfer's outcome: a response or an error, never both.
struct UrlResult {
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
};

// Starts the transfer and returns at once; `completion` runs on a worker thread when it has
// finished. Only http and https are fetched, redirects are followed (a bounded number), TLS
// certificates are verified, and proxies come from the environment copy (see process.h).
void load_url(UrlRequest request, std::function<void(const UrlResult&)> completion);

}  // namespace kestrova::platform
