// What every libcurl transfer of the backend shares: its handle and options, its time-outs, how a
// failure and a finished transfer are reported.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/curl_library.h"
#include "platform/url_loading.h"

namespace kestrova::platform::linux_backend {

// A failed result with `code`'s description, and `detail` after it in parentheses when given.
UrlResult failure(int code, const std::string& detail = {});

// A request's time-out for libcurl: a value that is not a positive number is UrlRequest's default.
long timeout_milliseconds(double seconds);
// The same in whole seconds, rounded up (libcurl measures a stall in seconds; 0 would mean never).
long stall_seconds(double seconds);

// Owns an easy handle and the header list for the length of one transfer.
class Transfer {
public:
    explicit Transfer(const Libcurl& c) : c_(c), easy_(c.easy_init()) {}
    ~Transfer() {
        if (easy_ != nullptr) c_.easy_cleanup(easy_);
        if (headers_ != nullptr) c_.slist_free_all(headers_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    CURL* easy() const { return easy_; }
    template <class T>
    CURLcode set(CURLoption option, T value) {
        return c_.easy_setopt(easy_, option, value);
    }
    bool add_header(const char* line) {
        curl_slist* grown = c_.slist_append(headers_, line);
        if (grown == nullptr) return false;
        headers_ = grown;
        return true;
    }
    curl_slist* headers() const { return headers_; }

    // What every transfer shares: the address, no cached data, redirects, TLS checks, proxies from
    // the environment copy, only http and https, and how long connecting may take. Nothing when
    // all was set, else the failure to report.
    std::optional<UrlResult> configure(const std::string& url, long connect_timeout_ms);

private:
    const Libcurl& c_;
    CURL* easy_;
    curl_slist* headers_ = nullptr;
};

// The HTTP status of a finished transfer, as a response with no body yet.
UrlResponse response_of(const Libcurl& c, Transfer& t);

// Runs a completion where nothing may escape it: a worker's exception would end the process.
void complete(const std::function<void(const UrlResult&)>& done, const UrlResult& result) noexcept;

}  // namespace kestrova::platform::linux_backend
