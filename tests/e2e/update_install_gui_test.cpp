// End-to-end: installing an update for real. A release site made by `kestrova-pack release` is
// served on 127.0.0.1, probe bundles at 1.0 (installed) and 1.1 (released) carry its key, and the
// user answers the real dialogs under Xvfb.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/burned_in_data.h"
#include "tests/support/bundle.h"
#include "tests/support/release_site.h"
#include "tests/support/test_deadline.h"
#include "tests/support/update_log.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* update_available = "A new version is available!";
constexpr const char* archive_name = "Probe-1.1.tar.gz";

// The title of a dialog the launcher shows now (a child zenity), other than a progress window;
// nothing when none is up.
std::optional<std::string> dialog_up(pid_t launcher) {
    for (const pid_t child : children_of(launcher)) {
        const auto argv = command_line_of(child);
        if (std::find(argv.begin(), argv.end(), "--progress") != argv.end()) continue;
        for (const auto& arg : argv)
            if (arg.starts_with("--title=")) return arg.substr(8);
    }
    return std::nullopt;
}

// Waits for a dialog of the launcher other than `except` (and other than progress windows).
std::optional<std::string> wait_for_dialog(BackgroundProcess& app, const std::string& except,
                                           std::chrono::seconds within = 30s) {
    const auto deadline = Clock::now() + time_left(within);
    while (Clock::now() < deadline && app.running()) {
        if (auto title = dialog_up(app.pid()); title && *title != except) return title;
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

// Chooses the offer's default, "Install Update", once the offer is on screen.
void choose_install(const XvfbDisplay& x, BackgroundProcess& app) {
    const auto deadline = Clock::now() + time_left(30s);
    while (x.windows_named(update_available).empty()) {
        ASSERT_TRUE(app.running()) << "the launcher exited without the offer; stderr:\n" << app.err();
        ASSERT_LT(Clock::now(), deadline) << "no offer; stderr:\n" << app.err();
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(x.close_with_key(update_available, "Return", true, time_left(20s))) << "the offer stayed up";
}

// Answers every dialog the launcher shows, other than the update offer, until it exits; returns
// their titles in order.
std::vector<std::string> dismiss_dialogs_until_exit(const XvfbDisplay& x, BackgroundProcess& app,
                                                    std::chrono::seconds within = 90s) {
    std::vector<std::string> seen;
    const auto deadline = Clock::now() + time_left(within);
    while (app.running() && Clock::now() < deadline) {
        if (const auto title = dialog_up(app.pid()); title && *title != update_available) {
            if (x.close_with_key(*title, "Return", true, time_left(20s)) && (seen.empty() || seen.back() != *title))
                seen.push_back(*title);
        }
        std::this_thread::sleep_for(100ms);
    }
    return seen;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The enclosure's length in the site's appcast.
std::uint64_t enclosure_length(const ReleaseSite& site) {
    const std::string feed = site.file("appcast.xml");
    const auto at = feed.find("length=\"");
    return at == std::string::npos ? 0 : std::stoull(feed.substr(at + 8));
}

class UpdateInstall : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why_not;
        x_ = XvfbDisplay::start(why_not);
        if (!x_) GTEST_SKIP() << "No dialog under Xvfb: " << why_not;
        installed_ = site_.make_bundle(dir_.path() / "installed", "1.0");
        app_dir_ = installed_.parent_path().parent_path().parent_path();
    }

    // Releases 1.1 of the probe, whose recorded first argument says which version runs.
    void release_new_version(std::vector<std::string> extra = {}) {
        site_.release(site_.make_bundle(dir_.path() / "new", "1.1", std::move(extra), {"from-1.1"}));
    }

    ProcessOptions options(bool held) const {
        auto o = x_->on_display(60s);
        o.env["KESTROVA_UPDATE_LOG"] = (dir_.path() / "update.log").string();
        o.env["XDG_STATE_HOME"] = (dir_.path() / "state").string();
        if (held) o.env["FORCE_UPDATE_CHECK"] = "1";
        return o;
    }

    // A start without a display and without a forced check.
    ProcessOptions quiet_options() const {
        ProcessOptions o;
        o.timeout = time_left(60s);
        o.env["KESTROVA_UPDATE_LOG"] = (dir_.path() / "update.log").string();
        o.env["XDG_STATE_HOME"] = (dir_.path() / "state").string();
        return o;
    }

    // What runs now.
    ProcessResult start_again(const std::vector<std::string>& args = {}) const {
        return launch(installed_, args, quiet_options());
    }

    // The whole update log, for failure messages.
    std::string log_text() const {
        std::ifstream in(dir_.path() / "update.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::unique_ptr<XvfbDisplay> x_;
    ReleaseSite site_;
    TempDir dir_;
    fs::path installed_;
    fs::path app_dir_;
};

TEST_F(UpdateInstall, HeldLaunchInstallsAndStartsTheNewVersionWithTheSameArguments) {
    release_new_version();
    const fs::path quit = dir_.path() / "quit";
    // Started through a relative argv[0], as from a shell in the bundle's folder.
    auto o = options(true);
    o.cwd = app_dir_.parent_path();
    for (const char* name :
         {"LD_LIBRARY_PATH", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "WAYLAND_DISPLAY"})
        o.env[name] = std::nullopt;
    auto app = BackgroundProcess({"./Probe.app/Contents/MacOS/Probe", "an argument", "--exit-when", quit.string(), "7"},
                                 o);
    choose_install(*x_, app);
    const auto deadline = Clock::now() + time_left(60s);
    while (app.running() && app.out().find("args.length=") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    // The same process now runs the new launcher, which its argv[0] names.
    const auto argv = command_line_of(app.pid());
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv.front(), installed_.string());
    std::ofstream(quit).put('\n');
    const auto r = app.wait(time_left(60s));
    ASSERT_FALSE(r.timed_out);
    // The new version ran in the launcher's place, with the same arguments after its own recorded
    // one, and ended the launch with its status; the old version's main never ran.
    EXPECT_EQ(r.exit_status, 7) << r.err;
    EXPECT_EQ(count_of(r.out, "args.length="), 1u) << r.out;
    EXPECT_EQ(value_of(r.out, "arg[0]"), "from-1.1") << r.out;
    EXPECT_EQ(value_of(r.out, "arg[1]"), "an argument");
    EXPECT_EQ(value_of(r.out, "arg[2]"), "--exit-when");
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
    const auto records = update_log_records(dir_.path() / "update.log");
    EXPECT_NE(std::find(records.begin(), records.end(), "Starting the installed version: " + installed_.string()),
              records.end());
}

struct FailureCase {
    const char* name;
    const char* reason;  // in the update log's record of the failure
    // Makes the site offer an update that must be refused.
    std::function<void(ReleaseSite&, const std::function<void(std::vector<std::string>)>&)> prepare;
};

class UpdateInstallFailure : public UpdateInstall, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateInstallFailure, LeavesTheBundleAsItWasAndTheOldVersionStarts) {
    GetParam().prepare(site_, [this](std::vector<std::string> extra) { release_new_version(std::move(extra)); });
    const std::string before = tree_fingerprint(app_dir_);

    auto app = launch_in_background(installed_, {}, options(true));
    choose_install(*x_, app);
    // The failure is one sentence in a dialog; once it is dismissed the hold ends with status 0.
    const auto failure = wait_for_dialog(app, update_available);
    if (failure) x_->close_with_key(*failure, "Return", true, time_left(20s));
    const auto r = app.wait(time_left(60s));
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(failure.has_value()) << "no dialog said the install failed; stderr:\n" << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("args.length="), std::string::npos) << "a version started: " << r.out;

    // Refused for its own reason, after the whole download: not for any failure that came first.
    bool refused_for_it = false;
    for (const auto& record : update_log_records(dir_.path() / "update.log", "updater"))
        refused_for_it |= record.starts_with("Update not installed: ") &&
                          record.find(GetParam().reason) != std::string::npos;
    EXPECT_TRUE(refused_for_it) << "no record of the refusal for \"" << GetParam().reason << "\" in\n" << log_text();

    EXPECT_EQ(tree_fingerprint(app_dir_), before);
    const auto next = start_again();
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(value_of(next.out, "args.length"), "0") << "not the old version: " << next.out;
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Classes, UpdateInstallFailure,
    ::testing::Values(FailureCase{"BadSignature", "signature does not match",
                                  [](ReleaseSite& site, const auto& release) {
                                      release({});
                                      std::string body = site.file(archive_name);
                                      body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x20);
                                      site.server().route(ReleaseSite::path_of(archive_name),
                                                          HttpResponse::text(200, body, "application/gzip"));
                                  }},
                      FailureCase{"BodyShorterThanLength", "bytes where the feed announced",
                                  [](ReleaseSite& site, const auto& release) {
                                      release({});
                                      const std::string body = site.file(archive_name);
                                      site.server().route(ReleaseSite::path_of(archive_name),
                                                          HttpResponse::text(200, body.substr(0, body.size() - 100),
                                                                             "application/gzip"));
                                  }},
                      FailureCase{"OtherIdentifier", "not this application",
                                  [](ReleaseSite&, const auto& release) {
                                      release({"--bundle-identifier", "org.example.other"});
                                  }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpdateInstall, KilledWhileDownloadingLeavesTheOldBundleAndTheNextStartCleansUp) {
    release_new_version();
    const std::string before = tree_fingerprint(app_dir_);
    // The archive comes one byte every 50 ms: the install is surely still downloading at the kill.
    site_.server().route(ReleaseSite::path_of(archive_name), HttpResponse::slow_body(enclosure_length(site_), 50ms));

    auto app = launch_in_background(installed_, {}, options(true));
    choose_install(*x_, app);
    const auto deadline = Clock::now() + time_left(30s);
    while (site_.server().request_count(ReleaseSite::path_of(archive_name)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_GT(site_.server().request_count(ReleaseSite::path_of(archive_name)), 0u) << app.err();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(app.running());
    kill(app.pid(), SIGKILL);
    app.wait(time_left(10s));

    EXPECT_EQ(tree_fingerprint(app_dir_), before);
    EXPECT_FALSE(install_leftovers_beside(app_dir_).empty()) << "the kill came after the download";
    const auto next = start_again();
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(value_of(next.out, "args.length"), "0") << next.out;
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

// The running application asks for a check, the user installs, and the update is downloaded and
// checked while it runs. Returns once the dialog saying it is ready has been dismissed.
void install_while_running(const XvfbDisplay& x, BackgroundProcess& app) {
    choose_install(x, app);
    const auto ready = wait_for_dialog(app, update_available, 60s);
    ASSERT_TRUE(ready.has_value()) << "no dialog after the install; stderr:\n" << app.err();
    ASSERT_TRUE(x.close_with_key(*ready, "Return", true, time_left(20s))) << "the dialog stayed up";
}

struct RunningCheck {
    const char* name;
    std::vector<std::string> bundle_extra;  // for the installed 1.0
    std::vector<std::string> args;          // what the application does first
};

class UpdateInstallAtExit : public UpdateInstall, public ::testing::WithParamInterface<RunningCheck> {};

TEST_P(UpdateInstallAtExit, UpdateDownloadedWhileRunningIsInstalledAtExitAndRunsAtTheNextStart) {
    installed_ = site_.make_bundle(dir_.path() / "installed-at-exit", "1.0", GetParam().bundle_extra);
    app_dir_ = installed_.parent_path().parent_path().parent_path();
    release_new_version();
    const fs::path quit = dir_.path() / "quit";
    auto args = GetParam().args;
    args.insert(args.end(), {"--exit-when", quit.string(), "5"});
    auto app = launch_in_background(installed_, args, options(false));
    install_while_running(*x_, app);
    ASSERT_TRUE(app.running());
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0") << "installed while the application runs";
    std::ofstream(quit).put('\n');
    const auto r = app.wait(time_left(60s));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 5) << "the install changed the application's status: " << r.err;
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1");
    EXPECT_EQ(install_leftovers_beside(app_dir_).size(), 1u) << "1.0 is kept until 1.1 has started";

    const auto next = start_again({"again"});
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(value_of(next.out, "arg[0]"), "from-1.1") << next.out;
    EXPECT_EQ(value_of(next.out, "arg[1]"), "again");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(Checks, UpdateInstallAtExit,
                         ::testing::Values(RunningCheck{"AskedForByTheApplication", {}, {"--check-updates"}},
                                           // Never checked before: the first scheduled check runs at start.
                                           RunningCheck{"Scheduled", {"--automatic-checks"}, {}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpdateInstall, ReadyUpdateOfAKilledRunIsInstalledAtTheNextStartBeforeTheOldVersionRuns) {
    release_new_version();
    const fs::path quit = dir_.path() / "quit";
    auto app = launch_in_background(installed_, {"--check-updates", "--exit-when", quit.string(), "5"}, options(false));
    install_while_running(*x_, app);
    ASSERT_TRUE(app.running());
    kill(app.pid(), SIGKILL);
    app.wait(time_left(10s));
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0");
    ASSERT_FALSE(install_leftovers_beside(app_dir_).empty()) << "nothing staged";

    const auto next = start_again({"again", "--exit", "3"});
    EXPECT_EQ(next.exit_status, 3) << next.err;
    EXPECT_EQ(count_of(next.out, "args.length="), 1u) << next.out;
    EXPECT_EQ(value_of(next.out, "arg[0]"), "from-1.1") << next.out;
    EXPECT_EQ(value_of(next.out, "arg[1]"), "again");
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

// A bundle's other command that installs an update starts again as itself, not as the bundle's main
// command, and the menu-entry refresh leaves its entry alone.
TEST_F(UpdateInstall, AnotherCommandOfTheBundleStartsAgainAsItselfAfterTheUpdate) {
    const std::vector<std::string> commands = {"--add-launcher", "second=probe.Probe"};
    const fs::path second = site_.make_bundle(dir_.path() / "commands", "1.0", commands).parent_path() / "second";
    release_new_version(commands);
    const fs::path quit = dir_.path() / "quit";
    auto app = launch_in_background(second, {"--check-updates", "--exit-when", quit.string(), "5"}, options(false));
    install_while_running(*x_, app);
    ASSERT_TRUE(app.running());
    kill(app.pid(), SIGKILL);
    app.wait(10s);

    const auto next = launch(second, {"again", "--exit", "3"}, quiet_options());
    EXPECT_EQ(next.exit_status, 3) << next.err;
    EXPECT_EQ(value_of(next.out, "arg[0]"), "from-1.1") << next.out;
    EXPECT_NE(log_text().find("Starting the installed version: " + fs::canonical(second).string()), std::string::npos)
        << log_text();
}

TEST_F(UpdateInstall, WhileASecondCopyRunsNothingIsReplacedAndTheLastCopyToQuitInstalls) {
    release_new_version();
    const fs::path quit_first = dir_.path() / "quit-first";
    const fs::path quit_second = dir_.path() / "quit-second";
    auto first = launch_in_background(installed_, {"--check-updates", "--exit-when", quit_first.string(), "5"},
                                      options(false));
    install_while_running(*x_, first);
    auto second = launch_in_background(installed_, {"--exit-when", quit_second.string(), "6"}, quiet_options());
    const auto deadline = Clock::now() + time_left(60s);
    while (second.running() && second.out().find("args.length=") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    const std::string before = tree_fingerprint(app_dir_);

    std::ofstream(quit_first).put('\n');
    EXPECT_EQ(first.wait(time_left(60s)).exit_status, 5);
    EXPECT_EQ(tree_fingerprint(app_dir_), before) << "replaced under the second copy";

    std::ofstream(quit_second).put('\n');
    const auto r = second.wait(time_left(60s));
    EXPECT_EQ(r.exit_status, 6) << r.err;
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1") << log_text();
    EXPECT_EQ(install_leftovers_beside(app_dir_).size(), 1u) << "1.0 is kept until 1.1 has started";
}

TEST_F(UpdateInstall, TwoStartsAtOnceWithAReadyUpdateBothRunTheNewVersion) {
    release_new_version();
    const fs::path quit = dir_.path() / "quit";
    auto app = launch_in_background(installed_, {"--check-updates", "--exit-when", quit.string(), "5"}, options(false));
    install_while_running(*x_, app);
    kill(app.pid(), SIGKILL);
    app.wait(time_left(10s));
    const auto left = install_leftovers_beside(app_dir_);
    ASSERT_EQ(left.size(), 1u);
    // The same starting point for each round: 1.0 installed and its ready update beside it.
    const fs::path kept = dir_.path() / "kept";
    fs::create_directories(kept);
    const auto copy = [](const fs::path& from, const fs::path& to) {
        ASSERT_EQ(std::system(("cp -a '" + from.string() + "' '" + to.string() + "'").c_str()), 0);
    };
    copy(app_dir_, kept / "Probe.app");
    copy(app_dir_.parent_path() / left[0], kept / left[0]);
    // Which start wins is a race; each loser used to start 1.0 from the tree being deleted.
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        if (round > 0) {
            fs::remove_all(app_dir_);
            copy(kept / "Probe.app", app_dir_);
            copy(kept / left[0], app_dir_.parent_path() / left[0]);
        }
        auto a = launch_in_background(installed_, {"--exit", "3"}, quiet_options());
        auto b = launch_in_background(installed_, {"--exit", "3"}, quiet_options());
        for (auto* start : {&a, &b}) {
            const auto r = start->wait(time_left(90s));
            EXPECT_EQ(r.exit_status, 3) << "round " << round << ": " << r.err;
            EXPECT_EQ(value_of(r.out, "arg[0]"), "from-1.1") << "round " << round << ": " << r.out;
        }
        EXPECT_EQ(bundle_version_of(app_dir_), "1.1");
        EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
    }
}

struct PathChange {
    const char* name;
    // What happens to the bundle's path while the copy with the ready update runs.
    std::function<void(const fs::path& app, ReleaseSite& site, const fs::path& dir)> change;
    const char* version_after;  // at the path once the copy quit; empty: nothing there
    const char* logged;
};

void PrintTo(const PathChange& change, std::ostream* out) { *out << change.name; }

class UpdateInstallPathChanged : public UpdateInstall, public ::testing::WithParamInterface<PathChange> {};

TEST_P(UpdateInstallPathChanged, TheStagedUpdateIsDroppedAndNothingIsLeftBeside) {
    release_new_version();
    const fs::path quit = dir_.path() / "quit";
    auto app = launch_in_background(installed_, {"--check-updates", "--exit-when", quit.string(), "5"}, options(false));
    install_while_running(*x_, app);
    GetParam().change(app_dir_, site_, dir_.path());
    std::ofstream(quit).put('\n');
    const auto r = app.wait(time_left(60s));
    EXPECT_EQ(r.exit_status, 5) << r.err;
    EXPECT_EQ(bundle_version_of(app_dir_), GetParam().version_after);
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
    EXPECT_NE(log_text().find(GetParam().logged), std::string::npos) << log_text();
    EXPECT_EQ(log_text().find("tried again at the next start"), std::string::npos) << log_text();
}

INSTANTIATE_TEST_SUITE_P(Changes, UpdateInstallPathChanged,
                         ::testing::Values(PathChange{"ANewerVersionTookItsPlace",
                                                      [](const fs::path& app, ReleaseSite& site, const fs::path& dir) {
                                                          const auto newer = site.make_bundle(dir / "newer", "1.2");
                                                          fs::rename(app, dir / "replaced.app");
                                                          fs::rename(newer.parent_path().parent_path().parent_path(),
                                                                     app);
                                                      },
                                                      "1.2", "now holds version 1.2"},
                                           PathChange{"MovedAway",
                                                      [](const fs::path& app, ReleaseSite&, const fs::path& dir) {
                                                          fs::create_directories(dir / "elsewhere");
                                                          fs::rename(app, dir / "elsewhere" / app.filename());
                                                      },
                                                      "", "no longer holds the application"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpdateInstall, NewVersionThatCannotStartIsPutBackAndOnlyANewerOneIsInstalledNext) {
    // 1.1's JVM refuses one of its options: it cannot start.
    site_.release(site_.make_bundle(dir_.path() / "new", "1.1", {"--jvm-option=-Xno-such-option"}, {"from-1.1"}));
    auto app = launch_in_background(installed_, {"first"}, options(true));
    choose_install(*x_, app);
    const auto titles = dismiss_dialogs_until_exit(*x_, app);
    const auto r = app.wait(time_left(60s));
    ASSERT_FALSE(r.timed_out);
    const std::string sentence = "Probe 1.1 could not start, so Probe 1.0 was put back.";
    // The previous version ran in the same launch, with its arguments, and its status is the launch's.
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "args.length="), 1u) << r.out;
    EXPECT_EQ(value_of(r.out, "arg[0]"), "first") << "not 1.0: " << r.out;
    EXPECT_NE(r.err.find(sentence + "\n"), std::string::npos) << r.err;
    EXPECT_NE(std::find(titles.begin(), titles.end(), sentence), titles.end()) << "no alert said so";
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());

    // Not held for 1.1 again: 1.0 runs at once, with no dialog.
    auto again = launch_in_background(installed_, {"again"}, options(true));
    const auto not_held = again.wait(time_left(30s));
    ASSERT_FALSE(not_held.timed_out) << "held for the version that could not start";
    EXPECT_EQ(not_held.exit_status, 0) << not_held.err;
    EXPECT_EQ(value_of(not_held.out, "arg[0]"), "again") << not_held.out;

    // A newer, working version is offered, installed and runs; nothing of the earlier ones is left.
    site_.release(site_.make_bundle(dir_.path() / "newer", "1.2", {}, {"from-1.2"}));
    auto newer = launch_in_background(installed_, {"third"}, options(true));
    choose_install(*x_, newer);
    const auto installed = newer.wait(time_left(60s));
    ASSERT_FALSE(installed.timed_out);
    EXPECT_EQ(installed.exit_status, 0) << installed.err;
    EXPECT_EQ(value_of(installed.out, "arg[0]"), "from-1.2") << installed.out;
    EXPECT_EQ(value_of(installed.out, "arg[1]"), "third");
    EXPECT_EQ(bundle_version_of(app_dir_), "1.2");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

TEST_F(UpdateInstall, FirstStartKilledBeforeTheApplicationRanIsPutBackAtTheNextStart) {
    // 1.1's JVM waits at start-up while its pause file exists (in the working directory).
    site_.release(site_.make_bundle(dir_.path() / "new", "1.1",
                                    {"--jvm-option=-XX:+UnlockDiagnosticVMOptions", "--jvm-option=-XX:+PauseAtStartup"},
                                    {"from-1.1"}));
    auto o = options(true);
    o.cwd = dir_.path();
    auto app = BackgroundProcess({installed_.string()}, o);
    choose_install(*x_, app);
    const auto deadline = Clock::now() + time_left(60s);
    const fs::path paused = dir_.path() / ("vm.paused." + std::to_string(app.pid()));
    while (app.running() && !fs::exists(paused) && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(paused)) << "1.1 never paused; stderr:\n" << app.err() << "update log:\n" << log_text();
    kill(app.pid(), SIGKILL);
    app.wait(time_left(10s));
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1");

    const auto next = start_again({"again"});
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(value_of(next.out, "arg[0]"), "again") << "not 1.0: " << next.out;
    EXPECT_NE(next.err.find("Probe 1.1 could not start, so Probe 1.0 was put back.\n"), std::string::npos) << next.err;
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0");
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

struct CannotStartCase {
    const char* name;
    std::function<void(const fs::path& executable)> damage;  // breaks the new launcher before its release
    std::vector<std::string> args = {"from-1.1"};            // 1.1's recorded arguments
};

class NewVersionCannotStart : public UpdateInstall, public ::testing::WithParamInterface<CannotStartCase> {};

TEST_P(NewVersionCannotStart, PutsThePreviousVersionBackInTheSameLaunch) {
    const auto executable = site_.make_bundle(dir_.path() / "new", "1.1", {}, GetParam().args);
    GetParam().damage(executable);
    site_.release(executable);
    auto app = launch_in_background(installed_, {"first"}, options(true));
    choose_install(*x_, app);
    dismiss_dialogs_until_exit(*x_, app);
    const auto r = app.wait(time_left(60s));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("Probe 1.1 could not start, so Probe 1.0 was put back.\n"), std::string::npos) << r.err;
    // 1.0 ran last (a 1.1 that dies in main printed its arguments first).
    const auto last_run = r.out.rfind("args.length=");
    EXPECT_EQ(value_of(r.out.substr(last_run == std::string::npos ? 0 : last_run), "arg[0]"), "first")
        << "not 1.0: " << r.out;
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NewVersionCannotStart,
    ::testing::Values(
        // The launch record is refused in its static initialiser, before main.
        CannotStartCase{"DamagedLaunchRecord",
                        [](const fs::path& executable) {
                            std::ifstream in(Artefacts::launcher_template(), std::ios::binary);
                            std::string image((std::istreambuf_iterator<char>(in)), {});
                            const auto at = image.find(std::string(kestrova::reserved_area_size, '_') + '\0');
                            ASSERT_NE(at, std::string::npos);
                            const std::string record = std::string("\0\0\x20\0\0", 5) +
                                                       std::string(kestrova::reserved_area_size - 5, 'M');
                            image.replace(at, record.size(), record);
                            std::ofstream(executable, std::ios::binary | std::ios::trunc) << image;
                        }},
        // A launcher the install's checks accept (a regular file its owner may execute) that the
        // system cannot run: the exec fails after the swap.
        CannotStartCase{"LauncherTheSystemCannotRun",
                        [](const fs::path& executable) {
                            fs::remove(executable);
                            std::ofstream(executable) << "not a program\n";
                            fs::permissions(executable, fs::perms(0755));
                        }},
        // Main runs, and dies at once (as a main class that lacks a JAR of its own would).
        CannotStartCase{"DiesInMainAtOnce", [](const fs::path&) {}, {"from-1.1", "--throw", "lacks a class"}}),
    [](const auto& p) { return std::string(p.param.name); });

// A launch whose put-back cannot remember the failure (a directory where it would be written)
// ends all the same: the version put back is not offered again by it, and the user hears so once.
TEST_F(UpdateInstall, AFailureThatCannotBeRememberedIsNotInstalledAgainByTheSameLaunch) {
    const std::vector<std::string> id = {"--bundle-identifier", "org.example.probe"};
    installed_ = site_.make_bundle(dir_.path() / "unremembered", "1.0", id);
    app_dir_ = installed_.parent_path().parent_path().parent_path();
    auto broken = id;
    broken.push_back("--jvm-option=-Xno-such-option");
    site_.release(site_.make_bundle(dir_.path() / "new", "1.1", broken, {"from-1.1"}));
    fs::create_directories(dir_.path() / "state/kestrova-updater/org.example.probe.failed-version");
    auto app = launch_in_background(installed_, {"first"}, options(true));
    choose_install(*x_, app);
    dismiss_dialogs_until_exit(*x_, app, 40s);
    const auto r = app.wait(time_left(20s));
    ASSERT_FALSE(r.timed_out) << "held for 1.1 again; downloads: " << count_of(log_text(), "Download started");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "arg[0]"), "first") << "not 1.0: " << r.out;
    EXPECT_EQ(count_of(log_text(), "Download started"), 1u) << log_text();
    EXPECT_EQ(count_of(r.err, "could not be remembered"), 1u) << r.err;
    EXPECT_EQ(bundle_version_of(app_dir_), "1.0");
}

struct NotTheVersionsFault {
    const char* name;
    // Ends 1.1's first start, installed with 1.0 kept beside it, for a reason that is not 1.1's.
    std::function<void(UpdateInstall& test, ProcessOptions options)> end_first_start;
    const char* logged;  // the decision, in the update log
};

void PrintTo(const NotTheVersionsFault& c, std::ostream* out) { *out << c.name; }

class VersionNotBlamed : public UpdateInstall, public ::testing::WithParamInterface<NotTheVersionsFault> {
public:
    using UpdateInstall::app_dir_;
    using UpdateInstall::dir_;
    using UpdateInstall::installed_;
    using UpdateInstall::site_;
    using UpdateInstall::x_;
};

TEST_P(VersionNotBlamed, ItsNextStartRunsItAndNothingBarsIt) {
    const std::vector<std::string> extra = {"--bundle-identifier", "org.example.probe", "--user-jvm-options"};
    installed_ = site_.make_bundle(dir_.path() / "not-blamed", "1.0", extra);
    app_dir_ = installed_.parent_path().parent_path().parent_path();
    site_.release(site_.make_bundle(dir_.path() / "new", "1.1", extra, {"from-1.1"}));
    const fs::path quit = dir_.path() / "quit";
    auto first = launch_in_background(installed_, {"--check-updates", "--exit-when", quit.string(), "0"},
                                      options(false));
    install_while_running(*x_, first);
    std::ofstream(quit).put('\n');
    ASSERT_EQ(first.wait(time_left(60s)).exit_status, 0);
    ASSERT_EQ(bundle_version_of(app_dir_), "1.1");

    auto o = quiet_options();
    o.env["XDG_CONFIG_HOME"] = (dir_.path() / "config").string();
    GetParam().end_first_start(*this, o);
    EXPECT_EQ(bundle_version_of(app_dir_), "1.1") << log_text();

    fs::remove_all(dir_.path() / "config");
    const auto next = launch(installed_, {"again"}, o);
    EXPECT_NE(log_text().find(GetParam().logged), std::string::npos) << log_text();
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(value_of(next.out, "arg[0]"), "from-1.1") << "1.1 was blamed: " << next.out;
    EXPECT_FALSE(fs::exists(dir_.path() / "state/kestrova-updater/org.example.probe.failed-version"));
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, VersionNotBlamed,
    ::testing::Values(
        // The user gives up while the launch gate waits for a site that does not answer.
        NotTheVersionsFault{"TerminatedWhileTheGateWaits",
                            [](UpdateInstall& base, ProcessOptions o) {
                                auto& test = static_cast<VersionNotBlamed&>(base);
                                test.site_.server().route(ReleaseSite::path_of("metadata.properties"),
                                                          HttpResponse::never_answer());
                                o.env["FORCE_UPDATE_CHECK"] = "1";
                                auto app = launch_in_background(test.installed_, {}, o);
                                const auto path = ReleaseSite::path_of("metadata.properties");
                                const auto deadline = Clock::now() + time_left(30s);
                                while (test.site_.server().request_count(path) == 0 && Clock::now() < deadline)
                                    std::this_thread::sleep_for(50ms);
                                ASSERT_GT(test.site_.server().request_count(path), 0u) << app.err();
                                kill(app.pid(), SIGTERM);
                                app.wait(time_left(10s));
                            },
                            "ended by signal 15"},
        // The user's own options hold a typo that every version's JVM refuses.
        NotTheVersionsFault{"TheUsersOptionsThePreviousVersionRefusesToo",
                            [](UpdateInstall& base, ProcessOptions o) {
                                auto& test = static_cast<VersionNotBlamed&>(base);
                                fs::create_directories(test.dir_.path() / "config/org.example.probe");
                                std::ofstream(test.dir_.path() / "config/org.example.probe/jvm.options")
                                    << "-Xno-such-option\n";
                                const auto r = launch(test.installed_, {}, o);
                                EXPECT_EQ(r.exit_status, 1) << r.err;
                            },
                            "could not start either, so that failure is neither's"},
        // Confirmed once main has run a while: a crash after that is not a failure to start.
        NotTheVersionsFault{
            "KilledAfterItHasShownItRuns",
            [](UpdateInstall& base, ProcessOptions o) {
                auto& test = static_cast<VersionNotBlamed&>(base);
                const fs::path quit = test.dir_.path() / "never";
                auto app = launch_in_background(test.installed_, {"--exit-when", quit.string(), "0"}, o);
                const auto deadline = Clock::now() + time_left(30s);
                while (app.running() && !install_leftovers_beside(test.app_dir_).empty() && Clock::now() < deadline)
                    std::this_thread::sleep_for(100ms);
                ASSERT_TRUE(app.running()) << app.err();
                kill(app.pid(), SIGKILL);
                app.wait(time_left(10s));
            },
            "has run for 5 seconds: it is confirmed"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- By delta ------------------------------------------------------------------------------------

constexpr const char* delta_name = "Probe-1.1-from-1.0.delta";

// How a delta that cannot be used is made so; the install then takes the full archive, once.
struct DeltaFallback {
    const char* name;
    const char* reason;  // in the update log's record of why the delta was not used
    std::function<void(ReleaseSite&, const fs::path& installed_app)> spoil;
};

class UpdateByDelta : public UpdateInstall, public ::testing::WithParamInterface<DeltaFallback> {
protected:
    // The site offers 1.1 with a delta from the installed 1.0; returns the new bundle's fingerprint.
    std::string release_with_delta() {
        site_.release(installed_);
        const fs::path new_executable = site_.make_bundle(dir_.path() / "new", "1.1", {}, {"from-1.1"});
        site_.release(new_executable);
        return tree_fingerprint(new_executable.parent_path().parent_path().parent_path());
    }
    // Installs with the launch held, and waits for the new version (whose first argument is
    // `runs`) to have run.
    void install_held(const std::string& runs = "from-1.1") {
        const fs::path quit = dir_.path() / "quit";
        auto app = launch_in_background(installed_, {"--exit-when", quit.string(), "0"}, options(true));
        choose_install(*x_, app);
        const auto deadline = Clock::now() + time_left(60s);
        while (app.running() && app.out().find("args.length=") == std::string::npos && Clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        std::ofstream(quit).put('\n');
        const auto r = app.wait(time_left(60s));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(value_of(r.out, "arg[0]"), runs) << r.out << r.err << log_text();
    }
};

TEST_F(UpdateByDelta, InstallsTheFullArchivesTreeFromTheDeltaAlone) {
    const std::string expected = release_with_delta();
    install_held();
    EXPECT_EQ(tree_fingerprint(app_dir_), expected) << "not the tree the full archive gives";
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of(delta_name)), 1u);
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of(archive_name)), 0u) << log_text();
    EXPECT_TRUE(install_leftovers_beside(app_dir_).empty());
}

TEST_P(UpdateByDelta, FallsBackOnceToTheFullArchive) {
    const std::string expected = release_with_delta();
    GetParam().spoil(site_, app_dir_);
    install_held();
    EXPECT_EQ(tree_fingerprint(app_dir_), expected);
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of(archive_name)), 1u);
    bool said_why = false;
    for (const auto& record : update_log_records(dir_.path() / "update.log", "updater"))
        said_why |= record.starts_with("Delta from version 1.0 not used: ") &&
                    record.find(GetParam().reason) != std::string::npos;
    EXPECT_TRUE(said_why) << log_text();
}

// A delta that failed is remembered in the user's state folder: when its full archive could not be
// installed either, a later process downloads that archive at once, and the next version's delta
// is tried again.
TEST_F(UpdateByDelta, ADeltaThatFailedIsNotTriedAgainByALaterProcess) {
    release_with_delta();
    const std::string archive = site_.file(archive_name);
    site_.server().route(ReleaseSite::path_of(delta_name), HttpResponse::text(404, "gone"));
    site_.server().route(ReleaseSite::path_of(archive_name), HttpResponse::text(503, "busy"));
    {
        auto app = launch_in_background(installed_, {}, options(true));
        choose_install(*x_, app);
        const auto failure = wait_for_dialog(app, update_available);
        if (failure) x_->close_with_key(*failure, "Return", true, time_left(20s));
        ASSERT_FALSE(app.wait(time_left(60s)).timed_out);
        ASSERT_TRUE(failure.has_value()) << "no dialog said the install failed\n" << log_text();
    }
    ASSERT_EQ(bundle_version_of(app_dir_), "1.0");
    site_.server().route(ReleaseSite::path_of(archive_name), HttpResponse::text(200, archive, "application/gzip"));
    install_held();
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of(delta_name)), 1u) << log_text();
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of(archive_name)), 2u);

    site_.release(site_.make_bundle(dir_.path() / "next", "1.2", {}, {"from-1.2"}));
    install_held("from-1.2");
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of("Probe-1.2-from-1.1.delta")), 1u) << log_text();
    EXPECT_EQ(site_.server().request_count(ReleaseSite::path_of("Probe-1.2.tar.gz")), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, UpdateByDelta,
    ::testing::Values(DeltaFallback{"BadSignature", "signature does not match",
                                    [](ReleaseSite& site, const fs::path&) {
                                        std::string body = site.file(delta_name);
                                        body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x20);
                                        site.server().route(ReleaseSite::path_of(delta_name),
                                                            HttpResponse::text(200, body, "application/octet-stream"));
                                    }},
                      DeltaFallback{"ChangedInstalledFile", "is not the one the delta was made from",
                                    [](ReleaseSite&, const fs::path& app) {
                                        const fs::path plist = app / "Contents/Info.plist";
                                        std::ofstream(plist, std::ios::app) << "\n";
                                    }},
                      DeltaFallback{"NotFound", "HTTP 404",
                                    [](ReleaseSite& site, const fs::path&) {
                                        site.server().route(ReleaseSite::path_of(delta_name),
                                                            HttpResponse::text(404, "gone"));
                                    }}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrova::testing
