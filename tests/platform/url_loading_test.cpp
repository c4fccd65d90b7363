#include "platform/url_loading.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/linux/environment.h"
#include "platform/linux/url_loading_internal.h"
#include "test_environment.h"
#include "tests/support/http_server.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace kestrova::platform {
namespace {

using kestrova::testing::HttpRequest;
using kestrova::testing::HttpResponse;
using kestrova::testing::HttpServer;
using kestrova::testing::RefusingPort;
using namespace std::chrono_literals;

// Generous: proves "does not hang", never how fast anything is.
constexpr auto hang_bound = 20s;

struct Fetched {
    UrlResult result;
    std::thread::id completion_thread;
};

Fetched fetch(UrlRequest request) {
    auto done = std::make_shared<std::promise<Fetched>>();
    auto future = done->get_future();
    load_url(std::move(request), [done](const UrlResult& r) { done->set_value({r, std::this_thread::get_id()}); });
    if (future.wait_for(hang_bound) != std::future_status::ready) {
        ADD_FAILURE() << "the transfer did not finish";
        std::abort();  // the worker still holds `done`; nothing sensible is left to check
    }
    return future.get();
}

Fetched fetch(const std::string& url, double timeout = 10, std::size_t max_body = 1 << 20) {
    return fetch(UrlRequest{url, timeout, max_body});
}

int error_code(const Fetched& f) {
    EXPECT_FALSE(f.result.response && f.result.error) << "a response or an error, never both";
    if (!f.result.error) {
        ADD_FAILURE() << "expected an error, got status " << f.result.response->http_status.value_or(-1);
        return 0;
    }
    EXPECT_EQ(f.result.error->description.rfind(url_error_description(f.result.error->code), 0), 0u)
        << "the description starts with the code's own";
    return f.result.error->code;
}

class UrlLoading : public ::testing::Test {
protected:
    HttpServer server;
};

// --- Responses ------------------------------------------------------------------------------------

TEST_F(UrlLoading, StatusAndBodyPassThroughUnchanged) {
    const struct {
        const char* path;
        int status;
        std::string body;
    } cases[] = {
        {"/ok", 200, "hello\n"},           {"/empty", 200, ""},
        {"/missing", 404, "no such page"}, {"/broken", 500, "server trouble"},
        {"/unavailable", 503, ""},         {"/bytes", 200, std::string("\xff\xfe\x00 not UTF-8 \xc3\x28", 16)},
    };
    for (const auto& c : cases) server.route(c.path, HttpResponse::text(c.status, c.body, "application/octet-stream"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Fetched f = fetch(server.url(c.path));
        ASSERT_TRUE(f.result.response.has_value()) << f.result.error->description;
        EXPECT_FALSE(f.result.error.has_value());
        EXPECT_EQ(f.result.response->http_status, c.status);
        EXPECT_EQ(f.result.response->body, c.body);
        EXPECT_NE(f.completion_thread, std::this_thread::get_id()) << "the completion runs on a worker";
    }
}

TEST_F(UrlLoading, AsksEveryCacheOnTheWayForFreshData) {
    server.route("/feed", HttpResponse::text(200, "x"));
    fetch(server.url("/feed"));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].header("Pragma"), "no-cache");
}

TEST_F(UrlLoading, FollowsRedirectsToTheFinalBody) {
    server.route("/old", HttpResponse::redirect("/older", 301));
    server.route("/older", HttpResponse::redirect(server.url("/new"), 307));
    server.route("/new", HttpResponse::text(200, "final"));
    const Fetched f = fetch(server.url("/old"));
    ASSERT_TRUE(f.result.response.has_value());
    EXPECT_EQ(f.result.response->http_status, 200);
    EXPECT_EQ(f.result.response->body, "final");
}

TEST_F(UrlLoading, ARedirectLoopEndsAfterABoundedNumberOfRequests) {
    server.route("/loop", [](const HttpRequest& r) { return HttpResponse::redirect(r.path); });
    EXPECT_EQ(error_code(fetch(server.url("/loop"))), url_error::http_too_many_redirects);
    EXPECT_GE(server.request_count("/loop"), 2u);
    EXPECT_LE(server.request_count("/loop"), 11u);  // the first request and at most ten redirects
}

TEST_F(UrlLoading, OnlyHttpAndHttpsAreFetchedEvenThroughARedirect) {
    server.route("/to-file", HttpResponse::redirect("file:///etc/passwd"));
    server.route("/to-ftp", HttpResponse::redirect("ftp://127.0.0.1/"));
    for (const char* path : {"/to-file", "/to-ftp"}) {
        const Fetched f = fetch(server.url(path));
        EXPECT_EQ(error_code(f), url_error::unsupported_url) << path;
    }
    for (const char* url : {"ftp://127.0.0.1/", "file:///etc/passwd", "dict://127.0.0.1/", "gopher://127.0.0.1/"})
        EXPECT_EQ(error_code(fetch(url)), url_error::unsupported_url) << url;
}

// No TLS server here can be trusted without changing the machine's authorities, so the choice is
// checked where it is made.
TEST(UrlLoadingRedirects, ARequestBegunWithHttpsIsRedirectedOnlyToHttps) {
    const struct {
        const char* url;
        std::string_view redirects;
    } cases[] = {{"https://example.org/appcast.xml", "https"},
                 {"HTTPS://example.org/appcast.xml", "https"},
                 {"http://example.org/appcast.xml", "http,https"}};
    for (const auto& c : cases) EXPECT_EQ(linux_backend::redirect_protocols_for(c.url), c.redirects) << c.url;
}

TEST(UrlLoadingErrors, MalformedUrlsAreBadUrls) {
    for (const char* url : {"", "http://[::1/", "http://exa mple.org:notaport/"})
        EXPECT_EQ(error_code(fetch(url)), url_error::bad_url) << "'" << url << "'";
}

// --- Failures of the network ------------------------------------------------------------------------

TEST_F(UrlLoading, AServerThatNeverAnswersTimesOut) {
    server.route("/silent", HttpResponse::never_answer());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_code(fetch(server.url("/silent"), 1.0)), url_error::timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(UrlLoading, TheTimeOutCoversTheWholeTransferNotJustSilence) {
    // A byte every 100 ms is never idle for long, but the whole body takes 20 s.
    server.route("/drip", HttpResponse::slow_body(200, 100ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_code(fetch(server.url("/drip"), 1.0)), url_error::timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(UrlLoadingErrors, ARefusedConnectionCannotConnect) {
    RefusingPort refusing;
    EXPECT_EQ(error_code(fetch("http://127.0.0.1:" + std::to_string(refusing.port()) + "/")),
              url_error::cannot_connect_to_host);
}

TEST(UrlLoadingErrors, AnUnknownHostCannotBeFound) {
    // Exempt from the test's proxy (test_environment.h), so the name is looked up, and fails.
    EXPECT_EQ(error_code(fetch("http://update-site.direct.invalid/appcast.xml")), url_error::cannot_find_host);
}

TEST_F(UrlLoading, TlsToAServerThatSpeaksNoTlsIsNotASecureConnection) {
    server.route("/", HttpResponse::text(200, "plain"));
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
    EXPECT_EQ(error_code(fetch(url)), url_error::secure_connection_failed);
}

// A real TLS server (openssl s_server) whose self-signed certificate no authority vouches for. With
// verification off, the transfer would hand back the server's status page instead.
TEST(UrlLoadingTls, ACertificateNoAuthorityVouchesForIsRefused) {
    using kestrova::testing::BackgroundProcess;
    using kestrova::testing::run_process;
    const kestrova::testing::TempDir dir;
    const std::string key = (dir.path() / "key.pem").string();
    const std::string certificate = (dir.path() / "certificate.pem").string();
    const auto made = run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                   "-out", certificate, "-subj", "/CN=127.0.0.1", "-days", "1", "-addext",
                                   "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(made.exit_status, 0) << "openssl (package openssl) could not make a certificate: " << made.err;
    BackgroundProcess server(
        {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", certificate, "-key", key, "-www"});
    std::string port;
    const auto deadline = std::chrono::steady_clock::now() + hang_bound;
    while (port.empty() && server.running() && std::chrono::steady_clock::now() < deadline) {
        const std::string out = server.out();
        const std::string accept = "ACCEPT 127.0.0.1:";
        if (const auto at = out.find(accept); at != std::string::npos && out.find('\n', at) != std::string::npos)
            port = out.substr(at + accept.size(), out.find('\n', at) - at - accept.size());
        else
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(port.empty()) << "openssl s_server did not start: " << server.err();

    const Fetched fetched = fetch("https://127.0.0.1:" + port + "/");
    EXPECT_EQ(error_code(fetched), url_error::server_certificate_untrusted);
}

// --- Proxies --------------------------------------------------------------------------------------

// test_environment.cpp put http_proxy and no_proxy into the environment before the copy was taken.
TEST_F(UrlLoading, ProxiesComeFromTheCopyAndNoProxyIsHonoured) {
    linux_backend::capture_environment();
    // The live environment no longer matters once the copy is taken.
    const std::string refused = "http://127.0.0.1:" + std::to_string(RefusingPort().port());
    setenv("http_proxy", refused.c_str(), 1);
    unsetenv("no_proxy");

    const Fetched proxied = fetch("http://kestrova-update-site.invalid/appcast.xml");
    ASSERT_TRUE(proxied.result.response.has_value()) << proxied.result.error->description;
    EXPECT_EQ(proxied.result.response->body, kestrova::testing::proxied_body);

    server.route("/direct", HttpResponse::text(200, "straight from the server"));
    const Fetched direct = fetch(server.url("/direct"));
    ASSERT_TRUE(direct.result.response.has_value());
    EXPECT_EQ(direct.result.response->body, "straight from the server");
    EXPECT_EQ(server.request_count("/direct"), 1u);
}

// --- The body's bound -----------------------------------------------------------------------------

long peak_resident_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(UrlLoading, ABodyOfExactlyTheBoundIsKeptAndOneByteMoreIsRefused) {
    constexpr std::size_t bound = 100'000;
    for (bool declared : {true, false}) {
        server.route("/at", HttpResponse::big_body(bound, declared));
        server.route("/over", HttpResponse::big_body(bound + 1, declared));
        SCOPED_TRACE(declared ? "with Content-Length" : "without Content-Length");
        const Fetched at = fetch(server.url("/at"), 10, bound);
        ASSERT_TRUE(at.result.response.has_value());
        EXPECT_EQ(at.result.response->body, std::string(bound, 'x'));
        EXPECT_EQ(error_code(fetch(server.url("/over"), 10, bound)), url_error::data_length_exceeds_maximum);
    }
}

TEST_F(UrlLoading, BigAndEndlessBodiesStopAtTheBoundWithoutBeingHeld) {
    server.route("/declared", HttpResponse::big_body(256u << 20, true));
    server.route("/undeclared", HttpResponse::big_body(256u << 20, false));
    server.route("/endless", HttpResponse::endless_body());
    const long before = peak_resident_kib();
    for (const char* path : {"/declared", "/undeclared", "/endless"})
        EXPECT_EQ(error_code(fetch(server.url(path), 30, 1 << 20)), url_error::data_length_exceeds_maximum) << path;
    // Holding any of those bodies would have raised the peak by hundreds of megabytes.
    EXPECT_LT(peak_resident_kib() - before, 64 * 1024);
}

// --- The worker -----------------------------------------------------------------------------------

TEST_F(UrlLoading, ACompletionThatThrowsDoesNotEndTheProcess) {
    server.route("/ok", HttpResponse::text(200, "fine"));
    // Set when the worker thread ends normally, after the exception was caught; a worker that let
    // it escape would have ended the process instead.
    static std::promise<void>* worker_ended = nullptr;
    std::promise<void> ended;
    worker_ended = &ended;
    struct OnThreadExit {
        ~OnThreadExit() { worker_ended->set_value(); }
    };
    load_url(UrlRequest{server.url("/ok"), 10, 1024}, [](const UrlResult&) {
        thread_local OnThreadExit on_exit;
        (void)on_exit;
        throw std::runtime_error("a completion's own failure");
    });
    EXPECT_EQ(ended.get_future().wait_for(hang_bound), std::future_status::ready);
}

TEST(UrlLoadingErrors, WithoutLibcurlTheTransferFailsAndSaysWhy) {
    const UrlResult r = linux_backend::perform_url_transfer(UrlRequest{"http://127.0.0.1:9/", 1, 10},
                                                            "libkestrova-no-such-curl.so.4");
    ASSERT_TRUE(r.error.has_value());
    EXPECT_FALSE(r.response.has_value());
    EXPECT_EQ(r.error->code, url_error::unknown);
    EXPECT_NE(r.error->description.find("libcurl is missing"), std::string::npos) << r.error->description;
}

// --- Downloads into a file -------------------------------------------------------------------------

namespace fs = std::filesystem;

struct Downloaded {
    UrlResult result;
    TransferId id = 0;
    std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> progress;
};

// Starts the download; `while_running` gets its id before the test waits for the end.
Downloaded download(const std::string& url, const fs::path& destination, double timeout, std::uint64_t max_bytes,
                    const std::function<void(TransferId)>& while_running = {}) {
    struct State {
        std::mutex mutex;
        Downloaded out;
        std::promise<void> done;
    };
    auto state = std::make_shared<State>();
    auto finished = state->done.get_future();
    const TransferId id = download_to_file(
        DownloadRequest{url, destination.string(), timeout, max_bytes},
        [state](std::uint64_t received, std::optional<std::uint64_t> expected) {
            std::lock_guard lock(state->mutex);
            state->out.progress.emplace_back(received, expected);
        },
        [state](const UrlResult& r) {
            {
                std::lock_guard lock(state->mutex);
                state->out.result = r;
            }
            state->done.set_value();
        });
    if (id != 0 && while_running) while_running(id);
    if (finished.wait_for(hang_bound) != std::future_status::ready) {
        ADD_FAILURE() << "the download did not finish";
        std::abort();
    }
    std::lock_guard lock(state->mutex);
    state->out.id = id;
    return state->out;
}

int download_error(const Downloaded& d) {
    EXPECT_FALSE(d.result.response && d.result.error) << "a response or an error, never both";
    if (!d.result.error) {
        ADD_FAILURE() << "expected an error, got status " << d.result.response->http_status.value_or(-1);
        return 0;
    }
    EXPECT_EQ(d.result.error->description.rfind(url_error_description(d.result.error->code), 0), 0u);
    return d.result.error->code;
}

std::string file_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class Download : public UrlLoading {
protected:
    kestrova::testing::TempDir dir;
    fs::path target = dir.path() / "update.tar.xz";
};

TEST_F(Download, TheFileHoldsTheBodyAndProgressReachesTheTotal) {
    const std::string small = "a small archive\n";
    const std::size_t big = 1'000'000;  // many writes and many progress reports
    const struct {
        const char* path;
        HttpResponse response;
        std::string body;
        bool declared;
        int status;
    } cases[] = {
        {"/small", HttpResponse::text(200, small, "application/octet-stream"), small, true, 200},
        {"/big", HttpResponse::big_body(big, true), std::string(big, 'x'), true, 200},
        {"/undeclared", HttpResponse::big_body(big, false), std::string(big, 'x'), false, 200},
        {"/empty", HttpResponse::text(200, ""), "", true, 200},
        {"/missing", HttpResponse::text(404, "no such update"), "no such update", true, 404},
    };
    server.route("/moved", HttpResponse::redirect("/big"));
    for (const auto& c : cases) server.route(c.path, c.response);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path file = dir.path() / (std::string(c.path + 1) + ".bin");
        const Downloaded d = download(server.url(c.path), file, 10, 2'000'000);
        ASSERT_TRUE(d.result.response.has_value()) << d.result.error->description;
        EXPECT_NE(d.id, 0u);
        EXPECT_EQ(d.result.response->http_status, c.status);
        EXPECT_TRUE(d.result.response->body.empty()) << "the body is in the file, not in memory";
        EXPECT_EQ(file_text(file), c.body);
        ASSERT_FALSE(d.progress.empty());
        EXPECT_EQ(d.progress.back().first, c.body.size());
        for (std::size_t i = 1; i < d.progress.size(); ++i) EXPECT_LE(d.progress[i - 1].first, d.progress[i].first);
        if (c.declared)
            EXPECT_EQ(d.progress.back().second, c.body.size());
        else
            EXPECT_EQ(d.progress.back().second, std::nullopt);
    }
    const Downloaded redirected = download(server.url("/moved"), dir.path() / "moved.bin", 10, 2'000'000);
    ASSERT_TRUE(redirected.result.response.has_value());
    EXPECT_EQ(file_text(dir.path() / "moved.bin"), std::string(big, 'x')) << "only the final body is written";
}

TEST_F(Download, AnExistingDestinationIsRefusedAndLeftAsItWas) {
    server.route("/update", HttpResponse::text(200, "new bytes"));
    std::ofstream(target) << "someone else's file";
    const fs::path link = dir.path() / "link";
    fs::create_symlink(dir.path() / "not-there", link);
    for (const fs::path& path : {target, link, dir.path() / "no-such-dir" / "file"}) {
        SCOPED_TRACE(path.string());
        bool completed_before_return = false;
        const TransferId id = download_to_file(DownloadRequest{server.url("/update"), path.string(), 10, 100}, {},
                                               [&](const UrlResult& r) {
                                                   completed_before_return = true;
                                                   ASSERT_TRUE(r.error.has_value());
                                                   EXPECT_EQ(r.error->code, url_error::cannot_create_file);
                                                   EXPECT_NE(r.error->description.find(path.string()),
                                                             std::string::npos);
                                               });
        EXPECT_EQ(id, 0u);
        EXPECT_TRUE(completed_before_return);
    }
    EXPECT_EQ(file_text(target), "someone else's file");
    EXPECT_FALSE(fs::exists(dir.path() / "not-there")) << "the link was not followed";
    EXPECT_EQ(server.request_count("/update"), 0u) << "nothing was fetched";
}

TEST_F(Download, EveryFailureRemovesThePartialFile) {
    constexpr std::size_t size = 300'000;
    server.route("/longer", HttpResponse::big_body(size + 1, true));
    server.route("/longer-undeclared", HttpResponse::big_body(size + 1, false));
    server.route("/endless", HttpResponse::endless_body());
    server.route("/dropped", HttpResponse::cut_body(size, size / 2));
    server.route("/stalled", HttpResponse::stalled_body(size, size / 2));
    server.route("/silent", HttpResponse::never_answer());
    const struct {
        const char* path;
        int code;
    } cases[] = {
        {"/longer", url_error::data_length_exceeds_maximum},
        {"/longer-undeclared", url_error::data_length_exceeds_maximum},
        {"/endless", url_error::data_length_exceeds_maximum},
        {"/dropped", url_error::network_connection_lost},
        {"/stalled", url_error::timed_out},
        {"/silent", url_error::timed_out},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path file = dir.path() / (std::string(c.path + 1) + ".bin");
        EXPECT_EQ(download_error(download(server.url(c.path), file, 1, size)), c.code);
        EXPECT_FALSE(fs::exists(file));
    }
}

TEST_F(Download, ASlowButSteadyBodyIsNotTimedOut) {
    // Three seconds in all, never a second without a byte: a stall time-out, not a whole-transfer one.
    server.route("/drip", HttpResponse::slow_body(30, 100ms));
    const Downloaded d = download(server.url("/drip"), target, 1, 1000);
    ASSERT_TRUE(d.result.response.has_value()) << d.result.error->description;
    EXPECT_EQ(file_text(target), std::string(30, 'x'));
}

TEST_F(Download, CancelMidBodyReportsCancelledAndRemovesTheFile) {
    server.route("/slow", HttpResponse::slow_body(10'000, 20ms));
    const Downloaded d = download(server.url("/slow"), target, 10, 100'000, [&](TransferId id) {
        // Cancel once part of the body is in the file.
        const auto deadline = std::chrono::steady_clock::now() + hang_bound;
        std::error_code ignored;
        while (fs::file_size(target, ignored) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        cancel_transfer(id);
    });
    EXPECT_EQ(download_error(d), url_error::cancelled);
    EXPECT_FALSE(fs::exists(target));
    cancel_transfer(d.id);  // once ended, harmless
    cancel_transfer(0);
}

TEST_F(Download, AFailedWriteSaysTheFileCouldNotBeWritten) {
    // A file size limit makes the system refuse the write as a full disk would.
    server.route("/big", HttpResponse::big_body(1'000'000));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 100'000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Downloaded d = download(server.url("/big"), target, 10, 2'000'000);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(download_error(d), url_error::cannot_write_to_file);
    ASSERT_TRUE(d.result.error.has_value());
    EXPECT_NE(d.result.error->description.find(target.string()), std::string::npos) << d.result.error->description;
    EXPECT_FALSE(fs::exists(target));
}

// --- Pieces ---------------------------------------------------------------------------------------

TEST(UrlErrorDescription, EveryReportedCodeHasItsOwnShortEnglishText) {
    const int codes[] = {url_error::cancelled,
                         url_error::bad_url,
                         url_error::timed_out,
                         url_error::unsupported_url,
                         url_error::cannot_find_host,
                         url_error::cannot_connect_to_host,
                         url_error::network_connection_lost,
                         url_error::http_too_many_redirects,
                         url_error::bad_server_response,
                         url_error::file_does_not_exist,
                         url_error::data_length_exceeds_maximum,
                         url_error::secure_connection_failed,
                         url_error::server_certificate_untrusted,
                         url_error::cannot_create_file,
                         url_error::cannot_write_to_file};
    std::map<std::string, int> seen;
    const std::string unknown = url_error_description(url_error::unknown);
    for (int code : codes) {
        const std::string text = url_error_description(code);
        EXPECT_NE(text, unknown) << code;
        EXPECT_TRUE(text.ends_with(".")) << text;
        EXPECT_LT(text.size(), 100u) << text;
        EXPECT_TRUE(seen.emplace(text, code).second) << code << " repeats " << text;
        EXPECT_EQ(make_url_error(code).code, code);
        EXPECT_EQ(make_url_error(code).description, text);
    }
    EXPECT_EQ(url_error_description(-1001), "The request timed out.");
    EXPECT_EQ(url_error_description(12345), unknown);
}

TEST(UrlErrorForCurl, CertificateAndHandshakeFailuresAreToldApart) {
    // The cases the local server cannot produce.
    const struct {
        int curl;
        bool too_large;
        int expected;
    } cases[] = {
        {60 /* peer failed verification */, false, url_error::server_certificate_untrusted},
        {83 /* issuer */, false, url_error::server_certificate_untrusted},
        {35 /* TLS handshake */, false, url_error::secure_connection_failed},
        {77 /* unreadable CA file */, false, url_error::secure_connection_failed},
        {5 /* proxy name */, false, url_error::cannot_find_host},
        {52 /* empty reply */, false, url_error::network_connection_lost},
        {56 /* receive failure */, false, url_error::network_connection_lost},
        {8 /* nonsense reply */, false, url_error::bad_server_response},
        {23 /* write error */, true, url_error::data_length_exceeds_maximum},
        {23 /* write error */, false, url_error::unknown},
        {63 /* declared size over */, false, url_error::data_length_exceeds_maximum},
        {2 /* failed init */, false, url_error::unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_backend::url_error_code_for_curl(c.curl, c.too_large), c.expected) << "curl code " << c.curl;
}

TEST(ProxySettings, ChosenFromTheCopyAsLibcurlWould) {
    using Vars = std::map<std::string, std::string, std::less<>>;
    const struct {
        const char* url;
        Vars vars;
        const char* proxy;
        const char* no_proxy;
    } cases[] = {
        {"http://a/", {}, "", ""},
        {"http://a/", {{"http_proxy", "p:1"}}, "p:1", ""},
        {"http://a/", {{"HTTP_PROXY", "p:1"}}, "", ""},  // never the upper-case one
        {"HTTP://a/", {{"http_proxy", "p:1"}}, "p:1", ""},
        {"https://a/", {{"http_proxy", "p:1"}}, "", ""},
        {"https://a/", {{"HTTPS_PROXY", "s:2"}}, "s:2", ""},
        {"https://a/", {{"https_proxy", "s:1"}, {"HTTPS_PROXY", "s:2"}}, "s:1", ""},
        {"https://a/", {{"https_proxy", ""}, {"HTTPS_PROXY", "s:2"}}, "s:2", ""},
        {"https://a/", {{"ALL_PROXY", "all:3"}}, "all:3", ""},
        {"http://a/", {{"all_proxy", "all:1"}, {"ALL_PROXY", "all:3"}}, "all:1", ""},
        {"http://a/", {{"http_proxy", "p:1"}, {"all_proxy", "all:1"}}, "p:1", ""},
        {"http://a/", {{"no_proxy", "localhost,.lan"}, {"NO_PROXY", "x"}}, "", "localhost,.lan"},
        {"http://a/", {{"NO_PROXY", "*"}, {"http_proxy", "p:1"}}, "p:1", "*"},
    };
    for (const auto& c : cases) {
        const auto settings =
            linux_backend::proxy_settings_for(c.url, [&](std::string_view name) -> std::optional<std::string> {
                if (auto found = c.vars.find(name); found != c.vars.end()) return found->second;
                return std::nullopt;
            });
        EXPECT_EQ(settings.proxy, c.proxy) << c.url;
        EXPECT_EQ(settings.no_proxy, c.no_proxy) << c.url;
    }
}

}  // namespace
}  // namespace kestrova::platform
