#include "platform/url_loading.h"

#define CURL_DISABLE_DEPRECATION 1  // the bitmask protocol options serve libcurl before 7.85
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "kestrova/file_descriptor.h"

#include "platform/linux/environment.h"
#include "platform/linux/url_loading_internal.h"
#include "platform/never_destroyed.h"
#include "platform/shared_library.h"

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

LoadedLibcurl load_libcurl(const char* library) {
    LoadedLibcurl result;
    const SharedLibrary handle = SharedLibrary::open(library, &result.failure);
    if (!handle.loaded()) return result;
    Libcurl c{};
    const bool ok = handle.resolve("curl_global_init", c.global_init) && handle.resolve("curl_easy_init", c.easy_init) &&
                    handle.resolve("curl_easy_setopt", c.easy_setopt) &&
                    handle.resolve("curl_easy_perform", c.easy_perform) &&
                    handle.resolve("curl_easy_getinfo", c.easy_getinfo) &&
                    handle.resolve("curl_easy_cleanup", c.easy_cleanup) &&
                    handle.resolve("curl_easy_strerror", c.easy_strerror) &&
                    handle.resolve("curl_slist_append", c.slist_append) &&
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

// libcurl measures a stall in whole seconds; a shorter one is rounded up, never down to "never".
long stall_seconds(double seconds) {
    const long ms = timeout_milliseconds(seconds);
    return ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
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

    // What every transfer shares: the address, no cached data, redirects, TLS checks, proxies from
    // the environment copy, only http and https, and how long connecting may take. Nothing when
    // all was set, else the failure to report.
    std::optional<UrlResult> configure(const std::string& url, long connect_timeout_ms);

private:
    const Libcurl& c_;
    CURL* easy_;
    curl_slist* headers_ = nullptr;
};

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

    if (set(CURLOPT_URL, url.c_str()) != CURLE_OK) return failure(url_error::bad_url);  // libcurl checks the length here
    const bool set_ok =
        set(CURLOPT_NOSIGNAL, 1L) == CURLE_OK && set(CURLOPT_HTTPHEADER, headers_) == CURLE_OK &&
        set(CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms) == CURLE_OK && set(CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        set(CURLOPT_MAXREDIRS, 10L) == CURLE_OK && set(CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
        set(CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
        // "" means no proxy and no exceptions; either way libcurl stops looking at getenv.
        set(CURLOPT_PROXY, proxy.proxy.c_str()) == CURLE_OK && set(CURLOPT_NOPROXY, proxy.no_proxy.c_str()) == CURLE_OK;
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

// The HTTP status of a finished transfer, as a response with no body yet.
UrlResponse response_of(const Libcurl& c, Transfer& t) {
    long status = 0;
    UrlResponse response;
    if (c.easy_getinfo(t.easy(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
        response.http_status = static_cast<int>(status);
    return response;
}

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

}  // namespace linux_backend

namespace {

enum class Started { yes, closing, no_thread };

// Starts `work` on a worker of its own, unless the process has begun to end; when it did not start,
// it never runs. Every transfer's worker starts here, so end_process knows of each.
Started start_worker(std::function<void()> work) {
    WorkerGate& gate = worker_gate();
    std::lock_guard lock(gate.mutex);
    // The process is ending: nothing may enter libcurl now, and nobody is left to hear the result.
    if (gate.closed) return Started::closing;
    // Set before the thread exists: a worker that started unseen would let exit() run under it.
    gate.started = true;
    try {
        // Transfers are rare (an appcast now and then, an update), so a thread of its own for each is simplest.
        std::thread(std::move(work)).detach();
    } catch (const std::system_error&) {
        return Started::no_thread;
    }
    return Started::yes;
}

// Runs a completion where nothing may escape it: a worker's exception would end the process.
template <class Completion>
void complete(const Completion& done, const UrlResult& result) noexcept {
    if (!done) return;
    try {
        done(result);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrova: a URL completion failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "kestrova: a URL completion failed\n");
    }
}

// --- Downloads into a file ------------------------------------------------------------------------

// One running download's cancel flag, found by its id; ids are never reused, so a late cancel finds
// nothing.
struct Downloads {
    std::mutex mutex;
    std::map<TransferId, std::shared_ptr<std::atomic<bool>>> cancelled;
    TransferId next = 1;
};
Downloads& downloads() {
    static NeverDestroyed<Downloads> registry;
    return registry.get();
}

void forget_download(TransferId id) {
    Downloads& d = downloads();
    std::lock_guard lock(d.mutex);
    d.cancelled.erase(id);
}

// Progress is told at most once per this many bytes (and at the end): a large archive arrives in
// many thousands of small pieces, and each report may cost the caller a trip to the main thread.
constexpr std::uint64_t progress_step_bytes = 64 * 1024;

struct FileSink {
    const Libcurl* c = nullptr;
    CURL* easy = nullptr;
    int fd = -1;
    std::uint64_t limit = 0;
    std::uint64_t written = 0;
    std::uint64_t reported = 0;
    bool too_large = false;
    int write_errno = 0;
    const std::atomic<bool>* cancelled = nullptr;
    const DownloadProgress* progress = nullptr;

    std::optional<std::uint64_t> expected() const {
        curl_off_t length = -1;
        if (c->easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(length);
    }

    void report() noexcept {
        reported = written;
        if (!*progress) return;
        try {
            (*progress)(written, expected());
        } catch (...) {
            // A progress report is advice; its failure must not cross libcurl's C frames.
            std::fprintf(stderr, "kestrova: a download's progress report failed\n");
        }
    }
};

std::size_t write_file(char* data, std::size_t size, std::size_t count, void* user) {
    auto& sink = *static_cast<FileSink*>(user);
    const std::size_t n = size * count;
    if (sink.cancelled->load()) return 0;
    if (n > sink.limit - sink.written) {
        sink.too_large = true;
        return 0;
    }
    if (const int error = write_all(sink.fd, std::string_view(data, n)); error != 0) {
        sink.write_errno = error;
        return 0;
    }
    sink.written += n;
    if (sink.written - sink.reported >= progress_step_bytes) sink.report();
    return n;
}

// Called by libcurl at least once a second, data or not: a cancel is noticed even while the server is silent.
int check_cancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<FileSink*>(user)->cancelled->load() ? 1 : 0;
}

// The transfer into the open file `fd`; the caller owns the file and its removal.
UrlResult perform_download(const DownloadRequest& request, int fd, const std::atomic<bool>& cancelled,
                           const DownloadProgress& progress) {
    const LoadedLibcurl& loaded = libcurl(linux_backend::libcurl_name);
    if (!loaded.api) return failure(url_error::unknown, "libcurl is missing: " + loaded.failure);
    const Libcurl& c = *loaded.api;

    Transfer t(c);
    if (auto failed = t.configure(request.url, timeout_milliseconds(request.timeout_seconds))) return std::move(*failed);
    FileSink sink;
    sink.c = &c;
    sink.easy = t.easy();
    sink.fd = fd;
    sink.limit = request.max_bytes;
    sink.cancelled = &cancelled;
    sink.progress = &progress;
    // No whole-transfer time-out: a large archive on a slow line may take long, and only a transfer
    // that stops moving fails. No compression is asked for either: archives are compressed already,
    // and the bytes written are then the bytes the server counted.
    const long stall = stall_seconds(request.timeout_seconds);
    bool set_ok = t.set(CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK && t.set(CURLOPT_LOW_SPEED_TIME, stall) == CURLE_OK &&
                  t.set(CURLOPT_WRITEFUNCTION, &write_file) == CURLE_OK && t.set(CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
                  t.set(CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
                  t.set(CURLOPT_XFERINFOFUNCTION, &check_cancel) == CURLE_OK &&
                  t.set(CURLOPT_XFERINFODATA, &sink) == CURLE_OK;
    if (set_ok && request.max_bytes <= static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max()))
        set_ok = t.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_bytes)) == CURLE_OK;
    if (!set_ok) return failure(url_error::unknown, "a transfer option was refused");

    const CURLcode code = c.easy_perform(t.easy());
    // A cancel wins over whatever ended the transfer meanwhile: the caller asked for it to stop.
    if (cancelled.load()) return failure(url_error::cancelled);
    if (code != CURLE_OK) {
        if (code == CURLE_WRITE_ERROR && sink.write_errno != 0)
            return failure(url_error::cannot_write_to_file, request.destination + ": " + std::strerror(sink.write_errno));
        const int url_code = linux_backend::url_error_code_for_curl(code, sink.too_large);
        return failure(url_code, url_code == url_error::unknown ? c.easy_strerror(code) : std::string());
    }
    if (sink.reported != sink.written || sink.written == 0) sink.report();
    return UrlResult{response_of(c, t), std::nullopt};
}

}  // namespace

namespace linux_backend {

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
                                                                                                  completion);
    const Started started = start_worker([shared] {
        complete(shared->second, linux_backend::perform_url_transfer(shared->first));
    });
    // No thread: the completion still runs exactly once, on this thread. Closing: never.
    if (started == Started::no_thread) complete(completion, failure(url_error::unknown, "no worker thread could be started"));
}

TransferId download_to_file(DownloadRequest request, DownloadProgress progress,
                            std::function<void(const UrlResult&)> completion) {
    // Created here, before any byte is fetched, and never over an existing file: a path that exists
    // (or a link planted there) is refused, not followed or truncated.
    auto file = std::make_shared<FileDescriptor>(
        ::open(request.destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (file->get() < 0) {
        const int error = errno;
        complete(completion, failure(url_error::cannot_create_file, request.destination + ": " + std::strerror(error)));
        return 0;
    }
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    TransferId id = 0;
    {
        Downloads& d = downloads();
        std::lock_guard lock(d.mutex);
        id = d.next++;
        d.cancelled.emplace(id, cancelled);
    }
    struct Job {
        DownloadRequest request;
        DownloadProgress progress;
        std::function<void(const UrlResult&)> completion;
    };
    auto job = std::make_shared<Job>(Job{std::move(request), std::move(progress), completion});
    const Started started = start_worker([job, file, cancelled, id] {
        UrlResult result = perform_download(job->request, file->get(), *cancelled, job->progress);
        // close can report a write that failed late (a full disk on a network file system).
        const int closed = file->close();
        const int close_errno = errno;
        if (!result.error && closed != 0)
            result = failure(url_error::cannot_write_to_file, job->request.destination + ": " + std::strerror(close_errno));
        if (result.error) ::unlink(job->request.destination.c_str());
        forget_download(id);
        complete(job->completion, result);
    });
    if (started == Started::yes) return id;
    forget_download(id);
    file->close();
    ::unlink(job->request.destination.c_str());
    complete(completion, failure(url_error::unknown, started == Started::closing ? "the application is ending"
                                                                                  : "no worker thread could be started"));
    return 0;
}

void cancel_transfer(TransferId transfer) {
    Downloads& d = downloads();
    std::lock_guard lock(d.mutex);
    if (auto found = d.cancelled.find(transfer); found != d.cancelled.end()) found->second->store(true);
}

}  // namespace kestrova::platform
