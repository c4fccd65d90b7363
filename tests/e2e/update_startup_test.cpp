// End-to-end: the update start-up's records in the update log, with and without the update
// framework in the bundle, for each kind of launch.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "tests/support/bundle.h"
#include "tests/support/update_log.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* not_available = "Sparkle Framework is not available, no updates will occur.";
constexpr const char* registering =
    "Registering NSApplicationDidFinishLaunchingNotification callback for starting Sparkle.";
constexpr const char* starting = "Starting Sparkle.";
constexpr const char* checking = "Checking for updates ...";

// The records one category wrote to the log file, message only, in order.
class UpdateStartup : public ::testing::Test {
protected:
    fs::path bundle(BundleRecipe recipe, bool with_updater) {
        if (with_updater) recipe.extra.push_back("--with-updater");
        return make_bundle(dir_.path(), recipe);
    }

    ProcessResult run(const fs::path& executable, const std::vector<std::string>& args,
                      std::map<std::string, std::optional<std::string>> env = {}) {
        ProcessOptions options;
        options.env = std::move(env);
        options.env["KESTROVA_UPDATE_LOG"] = log_.string();
        // The updater keeps its last-check time here, not in the user's home.
        options.env["XDG_STATE_HOME"] = (dir_.path() / "state").string();
        return launch(executable, args, options);
    }

    TempDir dir_;
    fs::path log_ = dir_.path() / "update.log";
};

TEST_F(UpdateStartup, WithoutTheFrameworkOneRecordAndRequestsAreOnlyLogged) {
    const auto executable = bundle({}, false);
    // FORCE_UPDATE_CHECK is not even looked at without the framework.
    const auto r = run(executable, {"--check-updates"}, {{"FORCE_UPDATE_CHECK", ""}});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "check.bridged"), "true");
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{not_available, checking}));
}

TEST_F(UpdateStartup, GuiLaunchStartsTheUpdaterOnceWhenTheEventLoopRuns) {
    const auto executable = bundle({}, true);
    const auto r = run(executable, {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "log.seen"), starting);
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, starting}));
}

TEST_F(UpdateStartup, ConsoleLaunchNeverFinishesLaunchingSoRequestsStartNoCheck) {
    BundleRecipe recipe;
    recipe.flags = {"--console"};
    const auto r = run(bundle(recipe, true), {"--check-updates"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "log.seen"), checking);
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, checking}));
    EXPECT_TRUE(update_log_records(log_, "updater").empty());
}

TEST_F(UpdateStartup, ForcedChecksRunTheGateFirst) {
    BundleRecipe aggressive;
    aggressive.name = "Aggressive";
    aggressive.flags = {"--aggressive-updates"};
    BundleRecipe plain;
    plain.name = "Plain";
    struct Case {
        fs::path executable;
        std::map<std::string, std::optional<std::string>> env;
    };
    const Case cases[] = {
        {bundle(aggressive, true), {}},
        // Present with an empty value forces the check as well.
        {bundle(plain, true), {{"FORCE_UPDATE_CHECK", ""}}},
    };
    for (const auto& c : cases) {
        fs::remove(log_);
        const auto r = run(c.executable, {"--wait-log", starting}, c.env);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(update_log_records(log_),
                  (std::vector<std::string>{registering, "Version from bundle: 1.0",
                                            "Could not find key 'SUFeedURL' in the Info.plist file in the package.",
                                            starting}))
            << c.executable;
    }
}

TEST_F(UpdateStartup, ConsoleAppIsNeverHeld) {
    BundleRecipe recipe;
    recipe.flags = {"--console", "--aggressive-updates"};
    const auto r = run(bundle(recipe, true), {});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_),
              (std::vector<std::string>{registering,
                                        "Cannot do a Sparkle update check for non-GUI apps, ignoring "
                                        "aggressive_updates/FORCE_UPDATE_CHECK."}));
}

TEST_F(UpdateStartup, RequestAfterTheControllerExistsStartsACheck) {
    const auto r = run(bundle({}, true), {"--wait-log", starting, "--check-updates"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, starting, checking}));
    // The framework took the request: its own records say so.
    EXPECT_FALSE(update_log_records(log_, "updater").empty());
}

TEST_F(UpdateStartup, ApplicationWithoutOnlineUpdaterStartsSilently) {
    BundleRecipe recipe;
    // The test's Launcher stands in for the support JAR, so OnlineUpdater is nowhere.
    recipe.support_jar = Artefacts::fake_launcher_jar();
    const auto r = run(bundle(recipe, true), {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true");
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, starting}));
}

TEST_F(UpdateStartup, OnlineUpdaterWithoutTheNativeMethodIsLoggedAndTheLaunchGoesOn) {
    BundleRecipe recipe;
    recipe.support_jar = Artefacts::no_native_updater_jar();
    const auto r = run(bundle(recipe, false), {"--check-updates"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "check.bridged"), "false");
    const auto logged = update_log_records(log_);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], not_available);
    EXPECT_NE(logged[1].find("OnlineUpdater declares no native method nCheckForUpdates"), std::string::npos);
}

// Another user, who may read the installation but not change it, locks all of it they can open,
// the lock file too once it exists: the installing user's start neither waits nor is held up.
TEST_F(UpdateStartup, AnotherUserHoldingWhatTheyCanOpenStallsNoStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root, which this run is not";
    fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    const auto executable = bundle({}, true);
    const fs::path app = executable.parent_path().parent_path().parent_path();
    ASSERT_EQ(run(executable, {}).exit_status, 0);
    const std::vector<std::string> paths = {app, app / bundle_layout::installation_lock, app / "Contents", executable};
    int locked[2];
    ASSERT_EQ(::pipe(locked), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        for (const auto& path : paths) ::flock(::open(path.c_str(), O_RDONLY | O_NONBLOCK), LOCK_EX | LOCK_NB);
        (void)!::write(locked[1], "", 1);
        ::pause();
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(locked[0], &byte, 1), 1);
    fs::remove(log_);
    const auto r = run(executable, {"--wait-log", starting});
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, starting}));
}

// Another copy installing an update holds the installation's lock alone and exchanges the trees:
// a start exec'd from the installation just before finds its executable in the staging area (here
// started from there, which is what it sees). It waits for that copy, then starts what the
// installation holds now; with nothing there, it ends with one line.
TEST_F(UpdateStartup, AStartWhoseTreeAnUpdateMovedAwayWaitsAndStartsWhatIsInstalled) {
    for (const bool another_version_there : {true, false}) {
        const fs::path dir = dir_.path() / (another_version_there ? "replaced" : "removed");
        BundleRecipe recipe;
        recipe.extra = {"--with-updater"};
        const fs::path installed = make_bundle(dir / "installed", recipe);
        recipe.args = {"from-1.1"};
        const fs::path newer = make_bundle(dir / "new", recipe).parent_path().parent_path().parent_path();
        const fs::path app = installed.parent_path().parent_path().parent_path();
        const int installer = ::open((app / bundle_layout::installation_lock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                                     0600);
        ASSERT_EQ(::flock(installer, LOCK_EX), 0);
        const fs::path area = app.parent_path() / (bundle_layout::staging_prefix(app.filename().string()) + "q7Xz0a");
        fs::create_directory(area);
        fs::rename(app, area / app.filename());
        if (another_version_there) fs::rename(newer, app);

        fs::remove(log_);
        ProcessOptions options;
        options.env = {{"KESTROVA_UPDATE_LOG", log_.string()}, {"XDG_STATE_HOME", (dir / "state").string()}};
        auto start = launch_in_background(area / fs::relative(installed, app.parent_path()), {"--exit", "3"}, options);
        for (int i = 0; i < 1200 && start.running() && update_log_records(log_).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until it tells it waits
        EXPECT_EQ(start.out().find("args.length="), std::string::npos) << "did not wait: " << start.err();
        ::close(installer);
        const auto r = start.wait(std::chrono::seconds(60));
        EXPECT_EQ(r.exit_status, another_version_there ? 3 : 1) << r.err;
        EXPECT_EQ(value_of(r.out, "arg[0]").value_or(r.err), another_version_there
                                                                 ? "from-1.1"
                                                                 : "Another copy of Probe replaced it with an update "
                                                                   "while it started; start Probe again.\n");
    }
}

}  // namespace
}  // namespace kestrova::testing
