// The progress window for real: zenity's progress dialog on an Xvfb display of the test's own,
// shown through the platform layer by a small driver program (see progress_window_driver.cpp),
// dismissed with xdotool.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* title = "Updating Probe";
constexpr const char* first_text = "Downloading Probe 1.1\u2026";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Waits until the driver has printed `line`; false when it exits or time runs out first.
bool wait_for_output(BackgroundProcess& driver, const std::string& line, std::chrono::seconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (driver.out().find(line + "\n") == std::string::npos) {
        if (!driver.running() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// What the descriptors from 3 up of `pid` lead to: "socket:[inode]", "/memfd:name", a path.
std::vector<std::string> descriptor_targets(pid_t pid) {
    std::vector<std::string> targets;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        if (std::stoi(entry.path().filename().string()) < 3) continue;
        const auto target = fs::read_symlink(entry.path(), ec);
        if (!ec) targets.push_back(target.string());
    }
    return targets;
}

class ProgressWindowUnderXvfb : public ::testing::Test {
protected:
    static void SetUpTestSuite() { x_ = XvfbDisplay::start(skip_reason_); }
    static void TearDownTestSuite() { x_.reset(); }

    void SetUp() override {
        if (!x_) GTEST_SKIP() << "No dialog under Xvfb: " << skip_reason_;
        ASSERT_TRUE(x_->windows_named(title).empty()) << "a window of an earlier test is still up";
    }

    std::unique_ptr<BackgroundProcess> start_driver(const ProcessOptions& options) {
        return std::make_unique<BackgroundProcess>(std::vector<std::string>{KESTROVA_TEST_PROGRESS_WINDOW_DRIVER, title,
                                                                            first_text, close_file_.string()},
                                                   options);
    }

    // Waits for the window and checks that it is the driver's zenity progress dialog, our title on it.
    void expect_window(BackgroundProcess& driver) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (x_->windows_named(title).empty()) {
            ASSERT_TRUE(driver.running()) << "the driver exited without a window; stderr:\n" << driver.err();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no window; stderr:\n" << driver.err();
            std::this_thread::sleep_for(100ms);
        }
        const auto children = children_of(driver.pid());
        ASSERT_EQ(children.size(), 1u) << "the window's dialog should be the driver's only child";
        const auto argv = command_line_of(children.front());
        ASSERT_GE(argv.size(), 3u);
        EXPECT_EQ(fs::path(argv[0]).filename(), "zenity");
        EXPECT_EQ(argv[1], "--progress");
        EXPECT_EQ(argv[2], std::string("--title=") + title);
    }

    void close_from_driver() { std::ofstream(close_file_).put('\n'); }

    static inline std::string skip_reason_;
    static inline std::unique_ptr<XvfbDisplay> x_;
    TempDir dir_;
    fs::path close_file_ = dir_.path() / "close";
};

// Escape is the window's Cancel. The driver goes on reporting progress to a dialog that is gone,
// which must neither kill it (SIGPIPE) nor bring the progress back as lines.
TEST_F(ProgressWindowUnderXvfb, CancelRunsOnceAndLaterReportsAreHarmless) {
    auto driver = start_driver(x_->on_display());
    expect_window(*driver);

    ASSERT_TRUE(x_->close_with_key(title, "Escape", true)) << "the window stayed up";
    ASSERT_TRUE(wait_for_output(*driver, "cancelled")) << "no cancel; stderr:\n" << driver->err();
    ASSERT_FALSE(driver->exits_within(1s)) << "the driver died reporting to a closed dialog; stderr:\n"
                                           << driver->err();
    EXPECT_TRUE(children_of(driver->pid()).empty()) << "the dismissed dialog was not reaped";

    close_from_driver();
    const auto r = driver->wait(20s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "cancelled\n"), 1u) << r.out;
    EXPECT_EQ(count_of(r.out, "closed\n"), 1u) << r.out;
    EXPECT_EQ(r.err.find(std::string(title) + ": "), std::string::npos) << "progress fell back to lines:\n" << r.err;
}

// A window we close ourselves is no cancel, and when close returns its dialog is gone: killed,
// reaped, and none of its descriptors left in the launcher for later children to inherit.
TEST_F(ProgressWindowUnderXvfb, AWindowWeCloseIsNoCancelAndLeavesNothingBehind) {
    auto driver = start_driver(x_->on_display());
    expect_window(*driver);
    const auto held_open = descriptor_targets(driver->pid());

    close_from_driver();
    ASSERT_TRUE(wait_for_output(*driver, "closed")) << driver->err();
    // The driver lingers a second after closing: long enough to look at it.
    EXPECT_TRUE(children_of(driver->pid()).empty()) << "the dialog is still the driver's child after close";
    const auto left = descriptor_targets(driver->pid());
    EXPECT_LT(left.size(), held_open.size()) << "closing released no descriptor";
    for (const auto& target : left) {
        EXPECT_EQ(target.find("socket:"), std::string::npos) << target;
        EXPECT_EQ(target.find("kestrova-progress"), std::string::npos) << target;
    }

    const auto r = driver->wait(20s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("cancelled"), std::string::npos) << r.out;
    EXPECT_TRUE(x_->windows_named(title).empty());
}

// zenity exits 1 both for Cancel and when it cannot open the display: the second is no cancel,
// and the progress goes on as lines on standard error.
TEST(ProgressWindowWithoutDisplay, ADisplayZenityCannotOpenFallsBackToLines) {
    if (!find_in_path("zenity")) GTEST_SKIP() << "zenity is not installed";
    TempDir dir;
    const fs::path close_file = dir.path() / "close";
    ProcessOptions options;
    options.env["DISPLAY"] = ":4711";  // no such display
    options.env["WAYLAND_DISPLAY"] = std::nullopt;
    BackgroundProcess driver({KESTROVA_TEST_PROGRESS_WINDOW_DRIVER, title, first_text, close_file.string()}, options);

    // The progress goes on as lines once zenity has failed, and stays there: later reports come
    // as lines too, one per quarter of the way.
    const std::string line_start = std::string(title) + ": ";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (count_of(driver.err(), line_start) < 3) {
        ASSERT_TRUE(driver.running()) << driver.err();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no progress lines; stderr:\n" << driver.err();
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(driver.err().find("cannot open display"), std::string::npos) << "zenity's own words are passed on";
    std::ofstream(close_file).put('\n');
    const auto r = driver.wait(20s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("cancelled"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kestrova::testing
