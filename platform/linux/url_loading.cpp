#include "platform/url_loading.h"

#include <limits>
#include <memory>
#include <utility>

#include "platform/linux/transfer_setup.h"
#include "platform/linux/transfer_workers.h"
#include "platform/linux/url_loading_internal.h"

namespace kestrova::platform {

namespace linux_backend {

namespace {

struct BodySink {
    std::string body;
    std::size_t limit = 0;
    bool too_large = false;
};

// Refuses the body as soon as it would pass the bound, so no more than the bound is ever held.
std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto& sink = *static_cast<BodySink*>(user);
    const std::size_t n = size * count;
    if (n > sink.limit - sink.body.size()) {
        sink.too_large = true;
        return 0;  // anything but n aborts the transfer with CURLE_WRITE_ERROR
    }
    sink.body.append(data, n);
    return n;
}

}  // namespace

UrlResult perform_url_transfer(const UrlRequest& request, const char* library) {
    const LoadedLibcurl& loaded = libcurl(library);
    if (!loaded.api) return failure(url_error::unknown, "libcurl is missing: " + loaded.failure);
    const Libcurl& c = *loaded.api;

    Transfer t(c);
    const long timeout_ms = timeout_milliseconds(request.timeout_seconds);
    if (auto failed = t.configure(request.url, timeout_ms)) return std::move(*failed);
    BodySink sink;
    sink.limit = request.max_body_bytes;
    bool set_ok = t.set(CURLOPT_TIMEOUT_MS, timeout_ms) == CURLE_OK &&
                  // Compressed bodies are accepted; the bound applies to the decoded bytes.
                  t.set(CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
                  t.set(CURLOPT_WRITEFUNCTION, &write_body) == CURLE_OK && t.set(CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    // A declared length over the bound fails before any of the body is read.
    if (set_ok && request.max_body_bytes <= static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max()))
        set_ok = t.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body_bytes)) == CURLE_OK;
    if (!set_ok) return failure(url_error::unknown, "a transfer option was refused");

    const CURLcode code = c.easy_perform(t.easy());
    if (code != CURLE_OK) {
        const int url_code = linux_backend::url_error_code_for_curl(code, sink.too_large);
        return failure(url_code, url_code == url_error::unknown ? c.easy_strerror(code) : std::string());
    }
    UrlResponse response = response_of(c, t);
    response.body = std::move(sink.body);
    return UrlResult{std::move(response), std::nullopt};
}

}  // namespace linux_backend

void load_url(UrlRequest request, std::function<void(const UrlResult&)> completion) {
    auto shared = std::make_shared<std::pair<UrlRequest, std::function<void(const UrlResult&)>>>(std::move(request),
                                                                                                 std::move(completion));
    const linux_backend::Started started = linux_backend::start_worker(
        [shared] { linux_backend::complete(shared->second, linux_backend::perform_url_transfer(shared->first)); });
    // No thread: the completion still runs exactly once, on this thread. Closing: never.
    if (started == linux_backend::Started::no_thread)
        linux_backend::complete(shared->second,
                                linux_backend::failure(url_error::unknown, "no worker thread could be started"));
}

}  // namespace kestrova::platform
