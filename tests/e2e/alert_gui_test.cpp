// End-to-end: the alert for an uncaught exception, shown for real by zenity on an Xvfb display of
// the test's own, read back from the dialog process and dismissed with xdotool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bundle.h"

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

std::optional<std::string> find_in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t from = 0;;) {
        const auto colon = dirs.find(':', from);
        const std::string dir = dirs.substr(from, colon == std::string::npos ? colon : colon - from);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return std::nullopt;
        from = colon + 1;
    }
}

// xdotool matches window names with extended regular expressions; the title must match whole.
std::string exact_name_pattern(const std::string& text) {
    std::string pattern = "^";
    for (char c : text) {
        if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The argument vector of a running process, from /proc.
std::vector<std::string> command_line_of(pid_t pid) {
    const std::string raw = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    for (std::size_t from = 0; from < raw.size();) {
        const auto nul = raw.find('\0', from);
        args.push_back(raw.substr(from, nul - from));
        if (nul == std::string::npos) break;
        from = nul + 1;
    }
    return args;
}

// Processes whose parent is `parent`, whichever of its threads started them.
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = read_file(entry.path() / "stat");
        // "pid (comm) state ppid ...": the command name may hold spaces and parentheses.
        const auto close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        const auto ppid_at = stat.find(' ', close + 2);
        if (ppid_at == std::string::npos) continue;
        if (std::stol(stat.substr(ppid_at + 1)) == parent) children.push_back(std::stoi(name));
    }
    return children;
}

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
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "zenity", "xdotool"}) {
            if (!find_in_path(tool)) {
                skip_reason_ = std::string(tool) + " is not installed (packages xvfb, zenity, xdotool)";
                return;
            }
        }
        xdotool_ = *find_in_path("xdotool");
        start_display();
    }

    static void TearDownTestSuite() {
        if (xvfb_) {
            // Asked to end, Xvfb removes its lock file and socket.
            kill(xvfb_->pid(), SIGTERM);
            xvfb_->wait(5s);
            xvfb_.reset();
        }
        skip_reason_.clear();
        display_.clear();
    }

    void SetUp() override {
        if (!skip_reason_.empty()) GTEST_SKIP() << "No dialog under Xvfb: " << skip_reason_;
        ASSERT_FALSE(display_.empty()) << "Xvfb did not start: " << (xvfb_ ? xvfb_->err() : "");
    }

    ProcessOptions on_display(std::chrono::milliseconds timeout = 20s) const {
        ProcessOptions options;
        options.env["DISPLAY"] = display_;
        options.timeout = timeout;
        return options;
    }

    // Ids of the visible windows named exactly `title`, or none.
    std::vector<std::string> windows_named(const std::string& title) const {
        const auto r = run_process({xdotool_, "search", "--onlyvisible", "--name", exact_name_pattern(title)},
                                   on_display(5s));
        std::vector<std::string> ids;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) ids.push_back(line);
        return ids;
    }

    static inline std::string skip_reason_;
    static inline std::string xdotool_;
    static inline std::string display_;
    static inline std::unique_ptr<BackgroundProcess> xvfb_;

private:
    // Xvfb picks a free display, writes its number to the descriptor it is given once it accepts
    // connections, and keeps running until the suite ends.
    static void start_display() {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        xvfb_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{*find_in_path("Xvfb"), "-displayfd", std::to_string(fds[1]), "-nolisten",
                                     "tcp", "-screen", "0", "1024x768x24"},
            ProcessOptions{}, std::vector<int>{fds[1]});
        close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buffer[32];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;  // Xvfb exited without a display
            number.append(buffer, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (const auto end = number.find('\n'); end != std::string::npos) {
            display_ = ":";
            display_.append(number, 0, end);
        }
    }
};

// The dialog is shown, holds the launcher until the user dismisses it, carries the exception's text
// without markup, and is the only place that text goes besides the stack trace.
TEST_P(AlertUnderXvfb, DialogShowsTheExceptionAndHoldsTheLauncherUntilDismissed) {
    const AlertCase& c = GetParam();
    TempDir dir;
    BundleSpec spec;
    spec.flags = c.pack_flags;
    const fs::path executable = make_bundle(dir.path(), spec);
    ASSERT_TRUE(windows_named(alert_title).empty()) << "a dialog of an earlier test is still up";

    auto app = launch_in_background(executable, {"--throw", thrown_message}, on_display());

    // The dialog's window, titled with the alert's message text; zenity takes about half a second.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (windows_named(alert_title).empty()) {
        ASSERT_TRUE(app.running()) << "the launcher exited (" << app.wait(0ms).exit_status
                                   << ") without showing the dialog; stderr:\n" << app.err();
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
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(app.running()) << "the launcher exited while the dialog was up; stderr:\n" << app.err();
    EXPECT_TRUE(app.err().find("Caused by: java.lang.RuntimeException: root <cause> & more") != std::string::npos)
        << "the stack trace comes before the dialog; stderr:\n" << app.err();

    const auto key = run_process({xdotool_, "search", "--sync", "--onlyvisible", "--name",
                                  exact_name_pattern(alert_title), "windowfocus", "--sync",
                                  c.act_on_press ? "keydown" : "key", c.dismiss_key},
                                 on_display());
    ASSERT_EQ(key.exit_status, 0) << "xdotool could not dismiss the dialog: " << key.err;
    if (c.act_on_press) run_process({xdotool_, "keyup", c.dismiss_key}, on_display());

    const auto r = app.wait(20s);
    ASSERT_FALSE(r.timed_out) << "the launcher did not exit after the dialog was dismissed; stderr:\n" << r.err;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("java.lang.IllegalStateException: <b>bold</b> & more\n\tat probe.Probe.main"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Caused by: java.lang.RuntimeException: root <cause> & more"), std::string::npos) << r.err;
    // Without a dialog the alert prints its message text on stderr; with one, it must not.
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << "the alert fell back to stderr:\n" << r.err;
    EXPECT_TRUE(windows_named(alert_title).empty());
}

INSTANTIATE_TEST_SUITE_P(
    JvmThreads, AlertUnderXvfb,
    ::testing::Values(AlertCase{"JvmThreadOkPressed", {}, "Return", false},
                      AlertCase{"JvmThreadDialogClosed", {}, "Escape", true},
                      AlertCase{"JvmOnMainThread", {"--main-thread"}, "Return", false}),
    [](const ::testing::TestParamInfo<AlertCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kestrova::testing
