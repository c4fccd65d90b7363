// End-to-end: the alert for an uncaught exception, shown for real by zenity on an Xvfb display of
// the test's own, read back from the dialog process and dismissed with xdotool.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bundle.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* alert_title = "The application has experienced an internal error and must quit.";
constexpr const char* thrown_message = "<b>bold</b> & more";
// What Launcher.fromException makes of the probe's exception: class and message of each link in
// the chain, markup characters kept as they are.
constexpr const char* informative_text =
    "java.lang.IllegalStateException: <b>bold</b> & more\n"
    "Caused by: java.lang.RuntimeException: root <cause> & more";

struct AlertCase {
    const char* name;
    std::vector<std::string> pack_flags;
    // Return presses OK (zenity exits 0); Escape closes the dialog (zenity exits 1). Escape acts on
    // the press, so only the press goes to the dialog: its release would find the window gone.
    const char* dismiss_key;
    bool act_on_press;
};

std::ostream& operator<<(std::ostream& os, const AlertCase& c) { return os << c.name; }

class AlertUnderXvfb : public ::testing::TestWithParam<AlertCase> {
protected:
    static void SetUpTestSuite() { x_ = XvfbDisplay::start(skip_reason_); }
    static void TearDownTestSuite() { x_.reset(); }

    void SetUp() override {
        if (!x_) GTEST_SKIP() << "No dialog under Xvfb: " << skip_reason_;
    }

    static inline std::string skip_reason_;
    static inline std::unique_ptr<XvfbDisplay> x_;
};

// The dialog is shown, holds the launcher until the user dismisses it, carries the exception's text
// without markup, and is the only place that text goes besides the stack trace.
TEST_P(AlertUnderXvfb, DialogShowsTheExceptionAndHoldsTheLauncherUntilDismissed) {
    const AlertCase& c = GetParam();
    TempDir dir;
    BundleRecipe recipe;
    recipe.flags = c.pack_flags;
    const fs::path executable = make_bundle(dir.path(), recipe);
    ASSERT_TRUE(x_->windows_named(alert_title).empty()) << "a dialog of an earlier test is still up";

    auto app = launch_in_background(executable, {"--throw", thrown_message}, x_->on_display());

    // The dialog's window, titled with the alert's message text; zenity takes about half a second.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (x_->windows_named(alert_title).empty()) {
        ASSERT_TRUE(app.running()) << "the launcher exited (" << app.wait(0ms).exit_status
                                   << ") without showing the dialog; stderr:\n"
                                   << app.err();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no dialog window; stderr:\n" << app.err();
        std::this_thread::sleep_for(100ms);
    }

    // The dialog is the launcher's own child process, started with markup off and the texts intact.
    const auto children = children_of(app.pid());
    ASSERT_EQ(children.size(), 1u) << "the launcher should have exactly one child, the dialog";
    const auto argv = command_line_of(children.front());
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(fs::path(argv.front()).filename(), "zenity");
    const std::vector<std::string> expected = {argv.front(), "--error", "--no-markup",
                                               std::string("--title=") + alert_title,
                                               std::string("--text=") + informative_text};
    EXPECT_EQ(argv, expected);

    // Still up a moment later: the launcher waits for the user, it does not exit under the dialog.
    ASSERT_FALSE(app.exits_within(500ms)) << "the launcher exited while the dialog was up; stderr:\n" << app.err();
    EXPECT_TRUE(app.err().find("Caused by: java.lang.RuntimeException: root <cause> & more") != std::string::npos)
        << "the stack trace comes before the dialog; stderr:\n"
        << app.err();

    ASSERT_TRUE(x_->close_with_key(alert_title, c.dismiss_key, c.act_on_press)) << "the dialog stayed up";

    const auto r = app.wait(20s);
    ASSERT_FALSE(r.timed_out) << "the launcher did not exit after the dialog was dismissed; stderr:\n" << r.err;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("java.lang.IllegalStateException: <b>bold</b> & more\n\tat probe.Probe.main"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Caused by: java.lang.RuntimeException: root <cause> & more"), std::string::npos) << r.err;
    // Without a dialog the alert prints its message text on stderr; with one, it must not.
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << "the alert fell back to stderr:\n" << r.err;
    EXPECT_TRUE(x_->windows_named(alert_title).empty());
}

INSTANTIATE_TEST_SUITE_P(JvmThreads, AlertUnderXvfb,
                         ::testing::Values(AlertCase{"JvmThreadOkPressed", {}, "Return", false},
                                           AlertCase{"JvmThreadDialogClosed", {}, "Escape", true},
                                           AlertCase{"JvmOnMainThread", {"--main-thread"}, "Return", false}),
                         [](const ::testing::TestParamInfo<AlertCase>& param) {
                             return std::string(param.param.name);
                         });

// An exception text longer than one program argument may be (128 KiB) still gets its dialog, with
// the text cut short; the whole of it is in the stack trace on standard error.
class LongAlertUnderXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        x_ = XvfbDisplay::start(skip_reason_);
        if (!x_) GTEST_SKIP() << "No dialog under Xvfb: " << skip_reason_;
    }
    std::string skip_reason_;
    std::unique_ptr<XvfbDisplay> x_;
};

TEST_F(LongAlertUnderXvfb, AnOverlongTextIsShortenedRatherThanLosingTheDialog) {
    TempDir dir;
    const fs::path executable = make_bundle(dir.path(), {});
    ASSERT_TRUE(x_->windows_named(alert_title).empty()) << "a dialog of an earlier test is still up";
    auto app = launch_in_background(executable, {"--throw-long", "200000"}, x_->on_display());

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (x_->windows_named(alert_title).empty()) {
        ASSERT_TRUE(app.running()) << "the launcher exited (" << app.wait(0ms).exit_status
                                   << ") without showing the dialog; stderr tail:\n"
                                   << app.err().substr(app.err().size() > 2000 ? app.err().size() - 2000 : 0);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no dialog window";
        std::this_thread::sleep_for(100ms);
    }
    const auto children = children_of(app.pid());
    ASSERT_EQ(children.size(), 1u);
    const auto argv = command_line_of(children.front());
    ASSERT_EQ(argv.size(), 5u);
    const std::string& text = argv[4];
    EXPECT_TRUE(text.starts_with("--text=java.lang.IllegalStateException: long message ....")) << text.substr(0, 80);
    EXPECT_TRUE(text.ends_with(".\n\u2026"));
    EXPECT_LT(text.size(), 128u * 1024);

    ASSERT_TRUE(x_->close_with_key(alert_title, "Return", false)) << "the dialog stayed up";
    const auto r = app.wait(20s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("long message " + std::string(200000, '.')), std::string::npos)
        << "the stack trace carries the whole message";
}

// What the descriptors from 3 up of `pid` lead to: "socket:[inode]", a file's path, and so on.
std::set<std::string> descriptor_targets(pid_t pid) {
    std::set<std::string> targets;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        if (std::stoi(entry.path().filename().string()) < 3) continue;
        const auto target = fs::read_symlink(entry.path(), ec);
        if (!ec) targets.insert(target.string());
    }
    return targets;
}

// Gone, or a zombie nobody has reaped yet: either way no longer running.
bool has_ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text{std::istreambuf_iterator<char>(stat), {}};
    const auto close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 2, 1, "Z") == 0;
}

bool port_is_free(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

class DialogProcessUnderXvfb : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { x_ = XvfbDisplay::start(skip_reason_); }
    static void TearDownTestSuite() { x_.reset(); }

    void SetUp() override {
        if (!x_) GTEST_SKIP() << "No dialog under Xvfb: " << skip_reason_;
    }

    static inline std::string skip_reason_;
    static inline std::unique_ptr<XvfbDisplay> x_;
};

// The dialog holds none of the application's descriptors (its JARs, its listening socket), and a
// launcher that is told to end ends its dialog too: the application can start again on its port.
TEST_P(DialogProcessUnderXvfb, HoldsNoneOfTheApplicationsDescriptorsAndEndsWithTheLauncher) {
    const int signal_number = GetParam();
    TempDir dir;
    const fs::path executable = make_bundle(dir.path(), {});
    ASSERT_TRUE(x_->windows_named(alert_title).empty()) << "a dialog of an earlier test is still up";
    auto app = launch_in_background(executable, {"--listen", "--throw", "x"}, x_->on_display());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (x_->windows_named(alert_title).empty()) {
        ASSERT_TRUE(app.running()) << "no dialog; stderr:\n" << app.err();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no dialog window; stderr:\n" << app.err();
        std::this_thread::sleep_for(100ms);
    }
    const auto port = value_of(app.out(), "listen.port");
    ASSERT_TRUE(port) << app.out();
    const auto children = children_of(app.pid());
    ASSERT_EQ(children.size(), 1u);
    const pid_t dialog = children.front();

    const auto launcher_targets = descriptor_targets(app.pid());
    for (const auto& target : descriptor_targets(dialog)) {
        const bool applications = target.starts_with("socket:") || target.ends_with(".jar");
        EXPECT_FALSE(applications && launcher_targets.contains(target)) << "the dialog holds " << target;
    }

    ASSERT_EQ(kill(app.pid(), signal_number), 0);
    const auto r = app.wait(20s);
    ASSERT_FALSE(r.timed_out) << r.err;
    const auto gone_by = std::chrono::steady_clock::now() + 5s;
    while (!has_ended(dialog) && std::chrono::steady_clock::now() < gone_by) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(has_ended(dialog)) << "the dialog outlived the launcher";
    EXPECT_TRUE(port_is_free(std::stoi(*port))) << "port " << *port << " is still held";
    if (!has_ended(dialog)) kill(dialog, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Signals, DialogProcessUnderXvfb, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(sigabbrev_np(param.param));
                         });

}  // namespace
}  // namespace kestrova::testing
