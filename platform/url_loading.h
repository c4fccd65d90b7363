// URL loading: one transfer on a worker thread, its completion called there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrova::platform {

// The URL error domain's codes that transfers report. The update framework's table passes them
// on as they are (the framework's loader checks that its two named codes agree).
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
inline constexpr int cannot_create_file = -3000;
inline constexpr int cannot_write_to_file = -3003;
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

// A transfer whose body goes into a new file as it arrives, so memory does not grow with it.
struct DownloadRequest {
    std::string url;
    std::string destination;  // created here; an existing file is never opened, let alone replaced
    // The transfer fails when no byte arrives for this long; a slow but steady body may take as
    // long as it needs.
    double timeout_seconds = 30.0;
    std::uint64_t max_bytes = 0;  // a longer body is error -1103
};

// Bytes written so far, and the length the server announced (nothing when it sent none).
using DownloadProgress = std::function<void(std::uint64_t received, std::optional<std::uint64_t> expected)>;
using TransferId = std::uint64_t;  // 0: no transfer

// Starts the download as load_url starts a transfer (same protocols, redirects, proxies, TLS
// checks) and returns its id at once. `progress` runs on the worker as the file grows, and once
// more with the final size; `completion` runs once, last, on the worker, with an empty body and
// the HTTP status whatever it is (the file then holds the body the server sent). On any error the
// file is removed. Returns 0 when the transfer could not start (the destination exists or cannot
// be created, no worker): `completion` has then already run, on this thread.
TransferId download_to_file(DownloadRequest request, DownloadProgress progress,
                            std::function<void(const UrlResult&)> completion);

// Stops a download: it ends soon, its file is removed and its completion reports error -999.
// Harmless for a transfer that has ended or never was. Any thread.
void cancel_transfer(TransferId transfer);

}  // namespace kestrova::platform
