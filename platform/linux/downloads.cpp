#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "kestrova/file_descriptor.h"
#include "kestrova/handle_registry.h"
#include "platform/linux/transfer_setup.h"
#include "platform/linux/transfer_workers.h"
#include "platform/linux/url_loading_internal.h"
#include "platform/never_destroyed.h"
#include "platform/url_loading.h"

namespace kestrova::platform {

namespace {

using linux_backend::complete;
using linux_backend::failure;
using linux_backend::Libcurl;
using linux_backend::libcurl;
using linux_backend::LoadedLibcurl;
using linux_backend::response_of;
using linux_backend::stall_seconds;
using linux_backend::start_worker;
using linux_backend::Started;
using linux_backend::timeout_milliseconds;
using linux_backend::Transfer;

// --- Downloads into a file ------------------------------------------------------------------------

// One running download's cancel flag, found by its id; ids are never reused, so a late cancel finds
// nothing.
using Downloads = HandleRegistry<std::shared_ptr<std::atomic<bool>>, TransferId>;
Downloads& downloads() {
    static NeverDestroyed<Downloads> registry;
    return registry.get();
}

void forget_download(TransferId id) { downloads().take(id); }

// Progress is told at most once per this many bytes (and at the end): a large archive arrives in
// many thousands of small pieces, and each report may cost the caller a trip to the main thread.
constexpr std::uint64_t progress_step_bytes = std::uint64_t{64} * 1024;

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
    if (auto failed = t.configure(request.url, timeout_milliseconds(request.timeout_seconds)))
        return std::move(*failed);
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
                  t.set(CURLOPT_WRITEFUNCTION, &write_file) == CURLE_OK &&
                  t.set(CURLOPT_WRITEDATA, &sink) == CURLE_OK && t.set(CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
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
            return failure(url_error::cannot_write_to_file,
                           request.destination + ": " + std::strerror(sink.write_errno));
        const int url_code = linux_backend::url_error_code_for_curl(code, sink.too_large);
        return failure(url_code, url_code == url_error::unknown ? c.easy_strerror(code) : std::string());
    }
    if (sink.reported != sink.written || sink.written == 0) sink.report();
    return UrlResult{response_of(c, t), std::nullopt};
}

}  // namespace

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
    const TransferId id = downloads().add(cancelled);
    struct Job {
        DownloadRequest request;
        DownloadProgress progress;
        std::function<void(const UrlResult&)> completion;
    };
    auto job = std::make_shared<Job>(Job{std::move(request), std::move(progress), std::move(completion)});
    const Started started = start_worker([job, file, cancelled, id] {
        UrlResult result = perform_download(job->request, file->get(), *cancelled, job->progress);
        // close can report a write that failed late (a full disk on a network file system).
        const int closed = file->close();
        const int close_errno = errno;
        if (!result.error && closed != 0)
            result = failure(url_error::cannot_write_to_file,
                             job->request.destination + ": " + std::strerror(close_errno));
        if (result.error) ::unlink(job->request.destination.c_str());
        forget_download(id);
        complete(job->completion, result);
    });
    if (started == Started::yes) return id;
    forget_download(id);
    file->close();
    ::unlink(job->request.destination.c_str());
    complete(job->completion,
             failure(url_error::unknown,
                     started == Started::closing ? "the application is ending" : "no worker thread could be started"));
    return 0;
}

void cancel_transfer(TransferId transfer) {
    if (const auto cancelled = downloads().find(transfer)) (*cancelled)->store(true);
}

}  // namespace kestrova::platform
