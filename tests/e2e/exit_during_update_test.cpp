// End-to-end: an application that ends while an update check's transfer is inside the TLS library
// ends with its own status, without a crash and without waiting for the transfer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/bundle.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

// An https site that takes the connection and the client's first handshake message, creates
// `connected`, then sends the header of a TLS record that never completes, one more byte every
// millisecond: the URL worker keeps waking up inside the TLS library for as long as the test runs.
class TricklingTlsSite {
public:
    explicit TricklingTlsSite(fs::path connected) : connected_(std::move(connected)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no listening socket on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TricklingTlsSite() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    TricklingTlsSite(const TricklingTlsSite&) = delete;
    TricklingTlsSite& operator=(const TricklingTlsSite&) = delete;

    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/appcast.xml"; }

private:
    bool wait_readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void serve() {
        while (wait_readable(fd_)) {
            const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            char hello[4096];
            if (wait_readable(client) && recv(client, hello, sizeof hello, 0) > 0) {
                std::ofstream{connected_};
                const unsigned char header[] = {0x16, 0x03, 0x03, 0x40, 0x00};  // handshake, 16 KiB
                bool open = send(client, header, sizeof header, MSG_NOSIGNAL) == sizeof header;
                while (open && !stop_) {
                    open = send(client, "", 1, MSG_NOSIGNAL) == 1;
                    usleep(1000);
                }
            }
            close(client);
        }
    }

    fs::path connected_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ExitDuringUpdateCheck, EndsWithTheApplicationsStatusWhileTheTransferRuns) {
    TempDir dir;
    const fs::path connected = dir.path() / "connected";
    TricklingTlsSite site(connected);
    BundleRecipe recipe;
    recipe.extra = {"--with-updater", "--feed-url", site.url(), "--bundle-version", "1.0"};
    const fs::path executable = make_bundle(dir.path(), recipe);
    const fs::path work = dir.path() / "work";
    fs::create_directories(work);

    ProcessOptions options;
    options.env["KESTROVA_UPDATE_LOG"] = (dir.path() / "update.log").string();
    options.env["XDG_STATE_HOME"] = (dir.path() / "state").string();
    // Holds the process open after the libraries' teardown: a worker still running in them then
    // meets their freed state.
    options.env["LD_PRELOAD"] = KESTROVA_TEST_SLOW_TEARDOWN_LIBRARY;
#if defined(__SANITIZE_ADDRESS__)
    // A preloaded library comes ahead of AddressSanitizer's runtime, which refuses to start then
    // unless told that the order is fine: this library intercepts nothing.
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan_options ? asan_options : "") + ":verify_asan_link_order=0";
#endif
    options.cwd = work;
    // Far below the transfer's own 30 seconds: the exit must not wait for it.
    options.timeout = std::chrono::seconds(20);
    // The exit comes as soon as the site has the handshake, with the worker inside the TLS library;
    // a few rounds, since a crash there depends on what the freed memory happens to hold.
    for (int round = 0; round < 3; ++round) {
        fs::remove(connected);
        const auto r = launch(executable,
                              {"--wait-log", "Starting Sparkle.", "--check-updates", "--exit-when", connected.string(),
                               "5"},
                              options);
        ASSERT_FALSE(r.timed_out) << "round " << round;
        EXPECT_EQ(r.exit_status, 5) << "round " << round << ": " << r.err;
        EXPECT_EQ(r.err.find("A fatal error has been detected"), std::string::npos) << r.err;
        for (const auto& entry : fs::directory_iterator(work))
            ADD_FAILURE() << "round " << round << " left " << entry.path().filename();
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace kestrova::testing
