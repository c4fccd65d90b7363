// End-to-end on an Xvfb display of the test's own: the desktop entry of a real bundle, launched by
// GLib's own desktop-entry launcher, and the alert a GUI user sees when a launch fails before the
// application runs.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/bundle.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class OnXvfb : public ::testing::Test {
protected:
    static void SetUpTestSuite() { x_ = XvfbDisplay::start(skip_reason_); }
    static void TearDownTestSuite() { x_.reset(); }
    void SetUp() override {
        if (!x_) GTEST_SKIP() << "No display: " << skip_reason_;
    }
    static inline std::string skip_reason_;
    static inline std::unique_ptr<XvfbDisplay> x_;
};

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string key_of(const std::string& entry, const std::string& key) {
    return value_of(entry, key).value_or("(missing)");
}

// A 1x1 PNG: signature, IHDR, IDAT, IEND.
void write_png(const fs::path& path) {
    static const unsigned char png[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d,
                                        0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
                                        0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00,
                                        0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0,
                                        0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99, 0x3d, 0x1d, 0x00, 0x00,
                                        0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png), sizeof png);
}

// The entry is valid, GLib's launcher parses its Exec into the launcher's path (spaces, '$', '~'
// and parentheses in it), and its StartupWMClass is the WM_CLASS the demo's window really carries.
TEST_F(OnXvfb, DesktopEntryStartsTheBundleAndNamesItsWindowClass) {
    const auto validator = find_in_path("desktop-file-validate");
    const auto gio = find_in_path("gio");
    if (!validator || !gio) GTEST_SKIP() << "desktop-file-validate or gio is not installed";
    TempDir dir;
    const fs::path apps_dir = dir.path() / "My Apps $HOME ~(x)";
    write_png(dir.path() / "demo.png");
    BundleRecipe recipe;
    recipe.name = "Kestrova Demo";
    recipe.main_class = "demo.Demo";
    recipe.jars = {Artefacts::demo_jar()};
    recipe.args = {"--window"};
    recipe.extra = {"--icon", (dir.path() / "demo.png").string()};
    const fs::path executable = make_bundle(apps_dir, recipe);
    const fs::path entries = dir.path() / "applications";
    const auto made = run_process({Artefacts::pack_tool().string(), "desktop-entry",
                                   (apps_dir / "Kestrova Demo.app").string(), "--dir", entries.string(), "--category",
                                   "Utility"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const fs::path entry_file = entries / "app.kestrova.kestrova-demo.desktop";
    const std::string entry = read_text(entry_file);

    const auto valid = run_process({*validator, entry_file.string()});
    EXPECT_EQ(valid.exit_status, 0) << valid.out << valid.err << entry;
    EXPECT_EQ(valid.out + valid.err, "") << entry;
    EXPECT_EQ(key_of(entry, "Terminal"), "false");
    EXPECT_EQ(key_of(entry, "Icon"), (apps_dir / "Kestrova Demo.app/Contents/Resources/demo.png").string());

    auto app = BackgroundProcess({*gio, "launch", entry_file.string()}, x_->on_display(60s));
    std::vector<std::string> windows;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((windows = x_->windows_named("Kestrova demo")).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no demo window; gio said: " << app.err();
        std::this_thread::sleep_for(200ms);
    }
    const std::string wm_class = key_of(entry, "StartupWMClass");
    EXPECT_EQ(x_->wm_class(windows.front()), "\"" + wm_class + "\", \"" + wm_class + "\"");
    // The window belongs to the bundle's own launcher, started by its absolute path.
    EXPECT_NE(app.out().find("app.dir: " + (apps_dir / "Kestrova Demo.app/Contents/Resources").string()),
              std::string::npos)
        << app.out() << executable;
}

constexpr const char* failure_title = "Probe could not be started";

// Copies the bundle's launcher with a record whose option count runs past its end.
void damage_record(const fs::path& executable) {
    std::string image = read_text(executable);
    const std::string header(
        "\0\0\x20\0\0probe.Probe\0\xFF"
        "one\0",
        22);
    const auto at = image.find("probe.Probe");
    ASSERT_NE(at, std::string::npos);
    image.replace(at - 5 + 1, header.size() - 1, header.substr(1));  // the flags byte stays
    const fs::path temporary = executable.string() + ".new";
    std::ofstream(temporary, std::ios::binary) << image;
    fs::permissions(temporary, fs::perms::owner_all);
    fs::rename(temporary, executable);
}

struct FailureCase {
    const char* name;
    BundleRecipe recipe;
    bool damaged;
    std::string first_line;  // what the launcher's stderr starts with
    std::string in_alert;    // what the alert's text must hold besides
    // The user's jvm.options, for a bundle that takes them: none when empty, "|" a named pipe.
    std::string user_options = {};
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }

class LaunchFailureAlert : public OnXvfb, public ::testing::WithParamInterface<FailureCase> {};

// With standard error a pipe (a desktop start), the launch failure appears in the alert too, and
// standard error stays as it is without one.
TEST_P(LaunchFailureAlert, ShowsTheLineWhenStandardErrorIsAPipe) {
    const FailureCase& c = GetParam();
    TempDir dir;
    BundleRecipe recipe = c.recipe;
    if (!c.user_options.empty()) recipe.extra.push_back("--user-jvm-options");
    const fs::path executable = make_bundle(dir.path(), recipe);
    if (c.damaged) damage_record(executable);
    const fs::path user_file = dir.path() / "config" / "app.kestrova.probe" / "jvm.options";
    if (!c.user_options.empty()) fs::create_directories(user_file.parent_path());
    if (c.user_options == "|")
        ASSERT_EQ(mkfifo(user_file.c_str(), 0600), 0);
    else if (!c.user_options.empty())
        std::ofstream(user_file) << c.user_options;
    int err_pipe[2];
    ASSERT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
    auto options = x_->on_display();
    options.env["XDG_CONFIG_HOME"] = (dir.path() / "config").string();
    options.stderr_fd = err_pipe[1];
    auto app = launch_in_background(executable, {}, options);
    close(err_pipe[1]);

    const auto drain = [&] {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    };
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (x_->windows_named(failure_title).empty()) {
        ASSERT_TRUE(app.running()) << "exited without the alert; standard error:\n" << drain();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no alert";
        std::this_thread::sleep_for(100ms);
    }
    const auto children = children_of(app.pid());
    ASSERT_EQ(children.size(), 1u);
    const auto argv = command_line_of(children.front());
    ASSERT_EQ(argv.size(), 5u);
    EXPECT_EQ(argv[3], std::string("--title=") + failure_title);
    EXPECT_NE(argv[4].find(c.in_alert), std::string::npos) << argv[4];
    ASSERT_TRUE(x_->close_with_key(failure_title, "Return", false)) << "the alert stayed up";
    const auto r = app.wait(20s);
    EXPECT_EQ(r.exit_status, 1);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof buffer)) > 0;)
        err.append(buffer, static_cast<std::size_t>(n));
    close(err_pipe[0]);
    EXPECT_TRUE(err.starts_with(c.first_line)) << err;
}

BundleRecipe with(void (*change)(BundleRecipe&)) {
    BundleRecipe recipe;
    change(recipe);
    return recipe;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LaunchFailureAlert,
    ::testing::Values(
        FailureCase{
            "DamagedRecord", {}, true, "The launch record is damaged: a JVM option", "Install the application again"},
        FailureCase{"UnknownJvmOption", with([](BundleRecipe& s) { s.jvm_options = {"-Xkestrova"}; }), false,
                    "Unrecognized option: -Xkestrova\nFailed to create JVM: Error 0xffffffff", "The Java runtime said"},
        FailureCase{"JvmEndsItself", with([](BundleRecipe& s) { s.jvm_options = {"-XX:MaxHeapSize=1k"}; }), false, "",
                    "Too small maximum heap"},
        FailureCase{"MainClassMissing", with([](BundleRecipe& s) { s.main_class = "probe.Missing"; }), false,
                    "Exception in thread \"main\" java.lang.ClassNotFoundException: Main class probe.Missing",
                    "Main class probe.Missing was not found"},
        FailureCase{"SupportClassesMissing", with([](BundleRecipe& s) { s.support_jar = Artefacts::probe_jar(); }),
                    false, "Exception in thread \"main\" java.lang.NoClassDefFoundError", "support classes"},
        // The user's options: a file the launch refuses (and must not wait on), options the JVM refuses.
        FailureCase{
            "UserOptionsNotAFile", {}, false, "The JVM options in ", "jvm.options are not in a regular file", "|"},
        FailureCase{"UserOptionUnknownToTheJvm",
                    {},
                    false,
                    "Unrecognized option: -Xkestrova\nFailed to create JVM: Error 0xffffffff; the JVM options in ",
                    "app.kestrova.probe/jvm.options were added",
                    "-Xkestrova\n"},
        FailureCase{"UserOptionEndsTheJvm",
                    {},
                    false,
                    "The Java runtime refused to start; the JVM options in ",
                    "app.kestrova.probe/jvm.options were added",
                    "-XX:MaxHeapSize=1k\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

// From a terminal, and for a console application, the line alone: no dialog.
TEST_F(OnXvfb, NoAlertFromATerminalOrForAConsoleApplication) {
    for (const bool console : {false, true}) {
        TempDir dir;
        BundleRecipe recipe;
        if (console) recipe.flags = {"--console"};
        const fs::path executable = make_bundle(dir.path(), recipe);
        damage_record(executable);
        int master = -1, slave = -1, err_pipe[2] = {-1, -1};
        auto options = x_->on_display();
        if (console) {
            ASSERT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
            options.stderr_fd = err_pipe[1];
        } else {
            ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
            options.stderr_fd = slave;
        }
        auto app = launch_in_background(executable, {}, options);
        const auto r = app.wait(20s);
        EXPECT_FALSE(r.timed_out) << "console " << console;
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_TRUE(x_->windows_named(failure_title).empty());
        std::string err(4096, '\0');
        const ssize_t n = read(console ? err_pipe[0] : master, err.data(), err.size());
        err.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        EXPECT_TRUE(err.starts_with("The launch record is damaged: a JVM option")) << err;
        for (int fd : {master, slave, err_pipe[0], err_pipe[1]})
            if (fd >= 0) close(fd);
    }
}

}  // namespace
}  // namespace kestrova::testing
