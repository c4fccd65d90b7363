#include "platform/url_loading.h"

#define CURL_DISABLE_DEPRECATION 1  // the bitmask protocol options serve libcurl before 7.85
#include <curl/curl.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/dynamic_library.h"
#include "platform/linux/environment.h"
#include "platform/linux/url_loading_internal.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace {

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

using linux_backend::resolve;

LoadedLibcurl load_libcurl(const char* library) {
    LoadedLibcurl result;
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        result.failure = why != nullptr ? why : "dlopen failed";
        return result;
    }
    Libcurl c{};
    const bool ok = resolve(handle, "curl_global_init", c.global_init) && resolve(handle, "curl_easy_init", c.easy_init) &&
                    resolve(handle, "curl_easy_setopt", c.easy_setopt) &&
                    resolve(handle, "curl_easy_perform", c.easy_perform) &&
                    resolve(handle, "curl_easy_getinfo", c.easy_getinfo) &&
                    resolve(handle, "curl_easy_cleanup", c.easy_cleanup) &&
                    resolve(handle, "curl_easy_strerror", c.easy_strerror) &&
                    resolve(handle, "curl_slist_append", c.slist_append) &&
                    resolve(handle, "curl_slist_free_all", c.slist_free_all);
    if (!ok) {
        result.failure = std::string(library) + " lacks a libcurl function";
        return result;  // the handle stays open: closing libraries is never worth the risk here
    }
    // Once per process, before any transfer; the loader's call_once keeps it to one thread.
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        result.failure = "curl_global_init failed";
        return result;
    }
    result.api = c;
    return result;
}

const LoadedLibcurl& libcurl(const char* library) {
    static NeverDestroyed<std::mutex> mutex;
    static NeverDestroyed<std::map<std::string, LoadedLibcurl>> loaded;
    std::lock_guard lock(mutex.get());
    auto found = loaded.get().find(library);
    if (found == loaded.get().end()) found = loaded.get().emplace(library, load_libcurl(library)).first;
    return found->second;  // map nodes never move, and the map is never destroyed
}

UrlResult failure(int code, std::string detail = {}) {
    UrlError error = make_url_error(code);
    if (!detail.empty()) error.description += " (" + detail + ")";
    return UrlResult{std::nullopt, std::move(error)};
}

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

long timeout_milliseconds(double seconds) {
    // Not a positive number: the default of UrlRequest; libcurl's 0 would mean "never".
    if (!(seconds > 0)) seconds = UrlRequest{}.timeout_seconds;
    const double ms = std::ceil(seconds * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<long>::max())) return std::numeric_limits<long>::max();
    return static_cast<long>(ms);
}

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

private:
    const Libcurl& c_;
    CURL* easy_;
    curl_slist* headers_ = nullptr;
};

constexpr const char* allowed_protocols = "http,https";

// Whether a worker was ever started, and whether the process has begun to end; one lock for both, so
// that no worker can start between end_process's look and its choice of exit.
struct WorkerGate {
    std::mutex mutex;
    bool started = false;
    bool closed = false;
};
WorkerGate& worker_gate() {
    static NeverDestroyed<WorkerGate> gate;
    return gate.get();
}

}  // namespace

std::string url_error_description(int code) {
    switch (code) {
    case url_error::cancelled: return "The operation was cancelled.";
    case url_error::bad_url: return "The URL is not valid.";
    case url_error::timed_out: return "The request timed out.";
    case url_error::unsupported_url: return "The URL is not supported.";
    case url_error::cannot_find_host: return "A server with the specified hostname could not be found.";
    case url_error::cannot_connect_to_host: return "Could not connect to the server.";
    case url_error::network_connection_lost: return "The network connection was lost.";
    case url_error::http_too_many_redirects: return "Too many HTTP redirects.";
    case url_error::bad_server_response: return "The server returned a bad response.";
    case url_error::file_does_not_exist: return "The requested resource was not found on this server.";
    case url_error::data_length_exceeds_maximum: return "The resource exceeds the maximum size.";
    case url_error::secure_connection_failed:
        return "A TLS error occurred and a secure connection to the server cannot be made.";
    case url_error::server_certificate_untrusted: return "The certificate for this server is invalid.";
    default: return "An unknown error occurred.";
    }
}

UrlError make_url_error(int code) { return UrlError{code, url_error_description(code)}; }

namespace linux_backend {

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
    if (scheme == "http") settings.proxy = first_set({"http_proxy"});
    else if (scheme == "https") settings.proxy = first_set({"https_proxy", "HTTPS_PROXY"});
    if (settings.proxy.empty()) settings.proxy = first_set({"all_proxy", "ALL_PROXY"});
    settings.no_proxy = first_set({"no_proxy", "NO_PROXY"});
    return settings;
}

bool close_url_loading() {
    WorkerGate& gate = worker_gate();
    std::lock_guard lock(gate.mutex);
    gate.closed = true;
    return gate.started;
}

int url_error_code_for_curl(int curl_code, bool body_too_large) {
    switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_OPERATION_TIMEDOUT: return url_error::timed_out;
    case CURLE_COULDNT_CONNECT: return url_error::cannot_connect_to_host;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return url_error::cannot_find_host;
    // The server's certificate was checked and refused.
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return url_error::server_certificate_untrusted;
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
    case CURLE_USE_SSL_FAILED: return url_error::secure_connection_failed;
    case CURLE_TOO_MANY_REDIRECTS: return url_error::http_too_many_redirects;
    case CURLE_UNSUPPORTED_PROTOCOL: return url_error::unsupported_url;
    case CURLE_URL_MALFORMAT: return url_error::bad_url;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return url_error::network_connection_lost;
    case CURLE_FILESIZE_EXCEEDED: return url_error::data_length_exceeds_maximum;
    case CURLE_WRITE_ERROR: return body_too_large ? url_error::data_length_exceeds_maximum : url_error::unknown;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return url_error::bad_server_response;
    case CURLE_ABORTED_BY_CALLBACK: return url_error::cancelled;
    default: return url_error::unknown;
    }
}

UrlResult perform_url_transfer(const UrlRequest& request, const char* library) {
    const LoadedLibcurl& loaded = libcurl(library);
    if (!loaded.api) return failure(url_error::unknown, "libcurl is missing: " + loaded.failure);
    const Libcurl& c = *loaded.api;

    Transfer t(c);
    if (t.easy() == nullptr) return failure(url_error::unknown, "curl_easy_init failed");

    // The transfer only reads what the environment copy says: libcurl would otherwise call getenv
    // for proxies while the JVM thread calls unsetenv.
    const ProxySettings proxy = proxy_settings_for(request.url, [](std::string_view name) {
        return captured_variable(name);
    });
    BodySink sink;
    sink.limit = request.max_body_bytes;
    const long timeout_ms = timeout_milliseconds(request.timeout_seconds);

    // No cache is kept; these ask every cache on the way not to answer from theirs either.
    if (!t.add_header("Cache-Control: no-cache") || !t.add_header("Pragma: no-cache"))
        return failure(url_error::unknown, "out of memory");

    bool set_ok = t.set(CURLOPT_URL, request.url.c_str()) == CURLE_OK;
    if (!set_ok) return failure(url_error::bad_url);  // libcurl checks the length here
    set_ok = t.set(CURLOPT_NOSIGNAL, 1L) == CURLE_OK && t.set(CURLOPT_HTTPHEADER, t.headers()) == CURLE_OK &&
             t.set(CURLOPT_TIMEOUT_MS, timeout_ms) == CURLE_OK &&
             t.set(CURLOPT_CONNECTTIMEOUT_MS, timeout_ms) == CURLE_OK &&
             t.set(CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK && t.set(CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
             t.set(CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK && t.set(CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
             // "" means no proxy and no exceptions; either way libcurl stops looking at getenv.
             t.set(CURLOPT_PROXY, proxy.proxy.c_str()) == CURLE_OK &&
             t.set(CURLOPT_NOPROXY, proxy.no_proxy.c_str()) == CURLE_OK &&
             // Compressed bodies are accepted; the bound applies to the decoded bytes.
             t.set(CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
             t.set(CURLOPT_WRITEFUNCTION, &write_body) == CURLE_OK && t.set(CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    // A declared length over the bound fails before any of the body is read.
    if (set_ok && request.max_body_bytes <= static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max()))
        set_ok = t.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body_bytes)) == CURLE_OK;
    if (!set_ok) return failure(url_error::unknown, "a transfer option was refused");

    // Only http and https, for the first request and for every redirect: a redirect to file:// must
    // never read a local file. libcurl before 7.85 knows only the bitmask options.
    if (t.set(CURLOPT_PROTOCOLS_STR, allowed_protocols) != CURLE_OK ||
        t.set(CURLOPT_REDIR_PROTOCOLS_STR, allowed_protocols) != CURLE_OK) {
        const long mask = CURLPROTO_HTTP | CURLPROTO_HTTPS;
        if (t.set(CURLOPT_PROTOCOLS, mask) != CURLE_OK || t.set(CURLOPT_REDIR_PROTOCOLS, mask) != CURLE_OK)
            return failure(url_error::unknown, "the protocols cannot be restricted");
    }

    const CURLcode code = c.easy_perform(t.easy());
    if (code != CURLE_OK) {
        const int url_code = linux_backend::url_error_code_for_curl(code, sink.too_large);
        return failure(url_code, url_code == url_error::unknown ? c.easy_strerror(code) : std::string());
    }
    long status = 0;
    UrlResponse response;
    if (c.easy_getinfo(t.easy(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
        response.http_status = static_cast<int>(status);
    response.body = std::move(sink.body);
    return UrlResult{std::move(response), std::nullopt};
}

}  // namespace linux_backend

void load_url(UrlRequest request, std::function<void(const UrlResult&)> completion) {
    auto run = [](const UrlRequest& req, const std::function<void(const UrlResult&)>& done, const UrlResult* ready) {
        const UrlResult result = ready != nullptr ? *ready : linux_backend::perform_url_transfer(req);
        if (!done) return;
        // The worker is the completion's only caller; an exception escaping it would end the process.
        try {
            done(result);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kestrova: a URL completion failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "kestrova: a URL completion failed\n");
        }
    };
    {
        WorkerGate& gate = worker_gate();
        std::lock_guard lock(gate.mutex);
        // The process is ending: nothing may enter libcurl now, and nobody is left to hear the result.
        if (gate.closed) return;
        gate.started = true;
        try {
            // Transfers are rare (an appcast now and then), so a thread of its own for each is simplest.
            std::thread(run, std::move(request), completion, nullptr).detach();
            return;
        } catch (const std::system_error&) {
            // No thread could be started; the completion runs below, outside the lock.
        }
    }
    // The completion still runs exactly once, on this thread.
    const UrlResult no_thread = failure(url_error::unknown, "no worker thread could be started");
    run(UrlRequest{}, completion, &no_thread);
}

}  // namespace kestrova::platform
