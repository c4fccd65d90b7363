// Installing an update from the offer to the swap, through the controller and the standard driver:
// real archives, real signatures and real bundles on disk; only the host's transfers and windows are
// the fake's. Every failure leaves the installed bundle byte for byte as it was.
#include "updater/update_installation.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "kestrova/info_plist_keys.h"
#include "protocol/ed25519.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/fake_updater_host.h"
#include "tests/updater/install_fixtures.h"
#include "updater/updater_controller.h"

namespace kestrova::updater {
namespace {

namespace ed = protocol::ed25519;
using namespace testing::install;
using kestrova::testing::TempDir;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing::FakeUpdaterHost;
using ::testing::HasSubstr;
using testing::http_ok;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* feed_url = "https://updates.example.test/appcast.xml";
constexpr const char* archive_url = "https://updates.example.test/Demo-1.1.tar.gz";
constexpr const char* delta_url = "https://updates.example.test/Demo-1.1-from-1.0.delta";
constexpr std::size_t install_button = 1;  // Remind Me Later, Install Update, Skip This Version
constexpr std::size_t skip_button = 2;

// How the served update departs from a good one.
struct Served {
    std::vector<Entry> entries = bundle_entries("1.1");
    std::int64_t length_change = 0;  // the feed's length minus the archive's
    bool foreign_signature = false;  // signed with another key
    bool no_key = false;             // the running bundle has no SUPublicEDKey
    bool unreachable = false;        // the archive's address does not answer
    bool unusable_delta = false;     // the item offers a delta from 1.0 whose address does not answer
};

class UpdateInstallationTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(installed_ / "Contents/Info.plist", plist("app.demo", "1.0"));
        write_file(installed_ / "Contents/MacOS/Demo", "old launcher", 0755);
        before_ = snapshot(installed_);
        host.info = {{kestrova::info_keys::bundle_version, "1.0"},
                     {kestrova::info_keys::bundle_name, "Demo"},
                     {kestrova::info_keys::bundle_identifier, "app.demo"},
                     {kestrova::info_keys::feed_url, feed_url},
                     {kestrova::info_keys::public_ed_key, ed::encode_base64(ed::public_key_of(seed_))}};
        host.environment = {{"XDG_STATE_HOME", state_.path().string()}};
        host.bundle = installed_;
    }

    void TearDown() override { host.run_main_queue(); }

    void serve(const Served& served = {}) {
        const fs::path archive = work_.path() / "Demo-1.1.tar.gz";
        fs::remove(archive);
        write_archive(archive, served.entries);
        const std::string bytes = read_file(archive);
        const ed::MappedFile mapped(archive);
        const std::string signature = ed::encode_base64(
            ed::sign(served.foreign_signature ? ed::generate_seed() : seed_, mapped.bytes()));
        if (served.no_key) host.info.erase(kestrova::info_keys::public_ed_key);
        if (!served.unreachable) host.downloads[archive_url] = bytes;
        const auto length = static_cast<std::int64_t>(bytes.size()) + served.length_change;
        host.responses[feed_url] = http_ok(
            "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
            "<item><title>1.1</title><enclosure url=\"" +
            std::string(archive_url) + "\" length=\"" + std::to_string(length) +
            "\" type=\"application/gzip\" sparkle:version=\"1.1\" sparkle:edSignature=\"" + signature + "\"/>" +
            (served.unusable_delta ? "<sparkle:deltas><enclosure url=\"" + std::string(delta_url) +
                                         "\" sparkle:deltaFrom=\"1.0\" length=\"10\" type=\"application/octet-stream\" "
                                         "sparkle:edSignature=\"" +
                                         signature + "\"/></sparkle:deltas>"
                                   : std::string()) +
            "</item></channel></rss>");
    }

    UpdaterController& start(bool held) {
        controller = std::make_unique<UpdaterController>(host, driver, host.delegate(), pending);
        if (held) controller->hold_launch();
        host.run_main_queue();
        return *controller;
    }

    void user_check(std::optional<std::size_t> button = install_button) {
        host.choice_answer = button;
        controller->check_for_updates();
        host.run_main_queue();
    }

    std::vector<std::string> beside_the_bundle() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void expect_unchanged() const {
        EXPECT_EQ(snapshot(installed_), before_);
        EXPECT_THAT(beside_the_bundle(), ElementsAre("Demo.app")) << "nothing is left beside the bundle";
    }

    // The old bundle stays beside the new one, recorded as the version it replaced, until the new
    // version has started.
    void expect_previous_kept() const {
        const auto names = beside_the_bundle();
        ASSERT_EQ(names.size(), 2u) << "the previous version is kept";
        EXPECT_EQ(read_file(dir_.path() / names[0] / "update.previous"), "1.0\n1.1\n");
    }

    bool logged(std::string_view part) const {
        return std::any_of(host.log_lines.begin(), host.log_lines.end(),
                           [part](const std::string& line) { return line.find(part) != std::string::npos; });
    }

    // What a run that was killed after staging leaves: a staging area, unlocked, ready or not.
    void leave_staged(std::vector<Entry> entries, std::optional<std::string> ready_as) {
        const fs::path archive = work_.path() / "left.tar.gz";
        fs::remove(archive);
        write_archive(archive, entries);
        StagingArea left(installed_);
        left.extract(archive);
        if (ready_as) left.mark_ready(*ready_as);
        left.leave_on_disk();
    }

    TempDir dir_;    // holds the bundle and nothing else
    TempDir work_;   // archives
    TempDir state_;  // the updater's state files
    fs::path installed_ = dir_.path() / "Demo.app";
    std::map<std::string, std::string> before_;
    ed::Seed seed_ = ed::generate_seed();
    FakeUpdaterHost host;
    StandardUserDriver driver{host};
    // Where the controller keeps an update made ready while the application runs, as the process's
    // end finds it.
    std::shared_ptr<PendingUpdate> pending = std::make_shared<PendingUpdate>();
    std::unique_ptr<UpdaterController> controller;
};

TEST_F(UpdateInstallationTest, HeldLaunchSwapsInTheUpdateAndNamesItsLauncher) {
    serve();
    start(true);
    user_check();
    ASSERT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_THAT(host.choice_alerts[0].buttons, ElementsAre("Remind Me Later", "Install Update", "Skip This Version"));
    EXPECT_FALSE(host.choice_alerts[0].dismiss_is_default) << "Install Update is the default";
    EXPECT_EQ(read_file(installed_ / "Contents/MacOS/Demo"), "new launcher");
    expect_previous_kept();
    EXPECT_EQ(controller->installed_launcher(), installed_ / "Contents/MacOS/Demo");
    ASSERT_EQ(host.download_requests.size(), 1u);
    EXPECT_EQ(host.download_requests[0].max_bytes, fs::file_size(work_.path() / "Demo-1.1.tar.gz"));
    EXPECT_THAT(host.events, Contains("progress:Updating Demo"));
    EXPECT_THAT(host.progress_texts, Contains("Downloading Demo 1.1\u2026 100%"));
    EXPECT_EQ(host.progress_texts.back(), "Installing\u2026");
    EXPECT_THAT(host.alerts, IsEmpty());
    EXPECT_EQ(host.events.back(), "stop");
    for (const char* step : {"Offered version 1.1 (install, remind me later, skip this version)",
                             "The user chose Install Update", "Download started: ", "Download finished: ",
                             "Signature verified", "Staged version 1.1", "Installed version 1.1 in place of 1.0"})
        EXPECT_TRUE(logged(step)) << step;
}

// The full archive after a delta that could not be used is a second download, and the window
// already up says so: not the first download's label on a bar that starts again.
TEST_F(UpdateInstallationTest, TheFullArchiveAfterAFailedDeltaIsShownAsASecondDownload) {
    serve({.unusable_delta = true});
    start(true);
    user_check();
    ASSERT_TRUE(controller->installed_launcher().has_value()) << ::testing::PrintToString(host.log_lines);
    std::vector<std::string> window;
    for (const auto& event : host.events)
        if (event.starts_with("progress:") || event == "close_progress" || event.starts_with("download:"))
            window.push_back(event);
    EXPECT_THAT(window, ElementsAre("progress:Updating Demo", std::string("download:") + delta_url,
                                    std::string("download:") + archive_url, "close_progress"));
    ASSERT_FALSE(host.progress_texts.empty());
    EXPECT_EQ(host.progress_texts.front(), "Downloading the changes in Demo 1.1\u2026");
    EXPECT_THAT(host.progress_texts,
                Contains(::testing::StartsWith(
                    "Downloading the full update of Demo 1.1 (its changes alone could not be used)\u2026")));
}

TEST_F(UpdateInstallationTest, AnUpdateThatRenamesItsLauncherKeepsTheBundlesMenuEntry) {
    Served served;
    served.entries = bundle_entries("1.1");
    served.entries[2].content = plist("app.demo", "1.1", "Demo2");
    served.entries[4].path = "Demo.app/Contents/MacOS/Demo2";
    serve(served);
    const TempDir data;
    host.environment.emplace("XDG_DATA_HOME", data.path().string());
    const std::string old_launcher = (installed_ / "Contents/MacOS/Demo").string();
    const fs::path entry = data.path() / "applications/app.demo.desktop";
    write_file(entry, "[Desktop Entry]\nType=Application\nName=Demo\nExec=" + old_launcher +
                          " %U\nTryExec=" + old_launcher + "\nX-Kestrova-Bundle=" + installed_.string() + "\n");
    start(true);
    user_check();
    ASSERT_TRUE(fs::exists(installed_ / "Contents/MacOS/Demo2"));
    EXPECT_THAT(read_file(entry), HasSubstr("TryExec=" + (installed_ / "Contents/MacOS/Demo2").string() + "\n"));
}

struct FailureCase {
    const char* name;
    Served served;
    const char* reason;  // part of the sentence shown and logged
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class InstallFailureTest : public UpdateInstallationTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallFailureTest, LeavesTheBundleAsItWasAndSaysWhy) {
    serve(GetParam().served);
    start(true);
    user_check();
    expect_unchanged();
    EXPECT_EQ(controller->installed_launcher(), std::nullopt);
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, "Update Error!");
    EXPECT_THAT(host.alerts[0].informative, ::testing::StartsWith("The update could not be installed. "));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr(GetParam().reason));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("Demo 1.0 is unchanged"));
    EXPECT_TRUE(logged(std::string("Update not installed: ")));
    EXPECT_TRUE(logged(GetParam().reason));
    EXPECT_EQ(host.events.back(), "stop");
    EXPECT_TRUE(controller->last_check_offered_update()) << "the hold ends with status 0";
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstallFailureTest,
    ::testing::Values(
        FailureCase{"BodyShorterThanAnnounced", {.length_change = 1}, "where the feed announced"},
        FailureCase{"BodyLongerThanAnnounced", {.length_change = -1}, "longer than the"},
        FailureCase{"SignatureByAnotherKey", {.foreign_signature = true}, "does not match"},
        FailureCase{"NoPublicKey", {.no_key = true}, "no SUPublicEDKey"},
        FailureCase{"AnotherApplication", {.entries = bundle_entries("1.1", "app.other")}, "not this application"},
        FailureCase{"OlderBundleThanTheItem", {.entries = bundle_entries("0.9")}, "where the feed announced 1.1"},
        FailureCase{"ServerGone", {.unreachable = true}, "download failed"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpdateInstallationTest, CancellingTheDownloadInstallsNothingAndSaysNothingMore) {
    serve();
    host.hold_downloads = true;
    start(true);
    user_check();
    ASSERT_TRUE(host.press_cancel) << "the progress window is up";
    host.press_cancel();
    host.run_main_queue();
    expect_unchanged();
    EXPECT_THAT(host.alerts, IsEmpty());
    EXPECT_THAT(host.events, Contains("cancel_transfer"));
    EXPECT_TRUE(logged("cancelled"));
    EXPECT_EQ(host.events.back(), "stop");
}

// Root passes every permission check, but not an immutable directory.
class Immutable {
public:
    explicit Immutable(const fs::path& directory) : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY)) {
        int flags = 0;
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) return;
        flags |= FS_IMMUTABLE_FL;
        set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ~Immutable() {
        int flags = 0;
        if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
        if (fd_ >= 0) ::close(fd_);
    }
    bool set() const { return set_; }

private:
    int fd_;
    bool set_ = false;
};

TEST_F(UpdateInstallationTest, ABundleThisUserCannotReplaceIsNotDownloaded) {
    serve();
    std::optional<Immutable> immutable;
    if (::geteuid() == 0) {
        immutable.emplace(dir_.path());
        if (!immutable->set()) GTEST_SKIP() << "this file system has no immutable flag";
    } else {
        ::chmod(dir_.path().c_str(), 0555);
    }
    start(true);
    user_check(0);
    ::chmod(dir_.path().c_str(), 0755);
    immutable.reset();
    EXPECT_THAT(host.download_requests, IsEmpty());
    ASSERT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_THAT(host.choice_alerts[0].buttons, ElementsAre("Remind Me Later", "Skip This Version"));
    EXPECT_THAT(host.alerts, IsEmpty());
    EXPECT_TRUE(logged("whoever installed it must update it"));
    expect_unchanged();
}

TEST_F(UpdateInstallationTest, TheOfferOfABundleSomeoneElseInstalledSaysWhoUpdatesItAndWhere) {
    UpdateOffer offer;
    offer.version = "1.1";
    offer.download_address = archive_url;
    offer.choices = {UpdateChoice::remind_later, UpdateChoice::skip_version};
    offer.installed_by_someone_else = true;
    driver.show_update_found({"Demo", "1.0", "1.0"}, offer, [](UpdateChoice) {});
    ASSERT_EQ(host.alerts.size(), 1u);  // no choice can be shown: the plain alert
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("whoever installed it must update it"));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr(archive_url));
}

TEST_F(UpdateInstallationTest, WhileTheApplicationRunsTheUpdateWaitsForItsEnd) {
    serve();
    start(false);
    user_check();
    EXPECT_EQ(snapshot(installed_), before_) << "nothing changes while the application runs";
    // Beside the Install button the address is where the version comes from, not a task.
    ASSERT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_THAT(host.choice_alerts[0].informative, Not(HasSubstr("Download it from")));
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, "A new version of Demo is ready to install!");
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("will be installed when you quit Demo"));
    EXPECT_TRUE(host.alerts[0].information) << "news, not an error";
    EXPECT_EQ(controller->installed_launcher(), std::nullopt);

    // Another check offers nothing while the update waits; the user hears that it is coming.
    user_check();
    EXPECT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_EQ(host.alerts.size(), 2u);
    EXPECT_EQ(host.download_requests.size(), 1u);

    EXPECT_TRUE(pending->install(host));
    EXPECT_EQ(read_file(installed_ / "Contents/MacOS/Demo"), "new launcher");
    expect_previous_kept();
    EXPECT_FALSE(pending->install(host)) << "once";
    EXPECT_TRUE(logged("Installed version 1.1 in place of 1.0 as the application quit"));
}

TEST_F(UpdateInstallationTest, AReadyUpdateAKilledRunLeftIsInstalledAtTheNextStart) {
    leave_staged(bundle_entries("1.1"), "1.1");
    const auto launcher = install_left_update(host);
    EXPECT_EQ(launcher, installed_ / "Contents/MacOS/Demo");
    EXPECT_EQ(read_file(installed_ / "Contents/MacOS/Demo"), "new launcher");
    expect_previous_kept();
}

TEST_F(UpdateInstallationTest, OfSeveralReadyUpdatesKilledRunsLeftTheNewestIsInstalledAndTheOthersRemoved) {
    // Neither the order they were made in nor the order of their names is the order of versions.
    for (const char* version : {"1.2", "1.10", "1.9"}) leave_staged(bundle_entries(version), version);
    ASSERT_TRUE(install_left_update(host).has_value());
    EXPECT_EQ(read_file(installed_ / "Contents/Info.plist"), plist("app.demo", "1.10"));
    const auto names = beside_the_bundle();
    ASSERT_EQ(names.size(), 2u) << "only the previous version is left beside the bundle";
    EXPECT_EQ(read_file(dir_.path() / names[0] / "update.previous"), "1.0\n1.10\n");
}

TEST_F(UpdateInstallationTest, LeftoversThatAreNotAReadyUpdateAreRemovedAtTheNextStart) {
    const struct {
        const char* name;
        std::vector<Entry> entries;
        std::optional<std::string> ready_as;
    } cases[] = {
        {"interrupted before it was ready", bundle_entries("1.1"), std::nullopt},
        {"ready, but another application", bundle_entries("1.1", "app.other"), "1.1"},
        {"ready, but not newer than the running bundle", bundle_entries("1.0"), "1.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        leave_staged(c.entries, c.ready_as);
        EXPECT_EQ(install_left_update(host), std::nullopt);
        expect_unchanged();
    }
    // One that a running instance still holds is its own.
    StagingArea held(installed_);
    EXPECT_EQ(install_left_update(host), std::nullopt);
    EXPECT_TRUE(fs::exists(held.path()));
}

TEST_F(UpdateInstallationTest, AKeptPreviousVersionOutlivesTheCleanUpOfLeftovers) {
    leave_staged(bundle_entries("1.1"), "1.1");
    ASSERT_TRUE(install_left_update(host).has_value());
    const auto names = beside_the_bundle();
    ASSERT_EQ(names.size(), 2u);
    const fs::path kept = dir_.path() / names[0];
    // 1.1's first start failed while other copies ran, so its put-back waits: marked and unlocked.
    write_file(kept / "update.started", "");
    EXPECT_EQ(install_left_update(host), std::nullopt);
    PendingUpdate at_end;
    EXPECT_FALSE(at_end.install(host));
    EXPECT_EQ(read_file(kept / "update.previous"), "1.0\n1.1\n");
    EXPECT_EQ(read_file(kept / "Demo.app/Contents/Info.plist"), plist("app.demo", "1.0"));
}

TEST_F(UpdateInstallationTest, WhileOtherCopiesRunAHeldLaunchStartsAsItIsAndTheLastCopyToQuitInstalls) {
    serve();
    host.other_copies_run = true;
    start(true);
    user_check();
    EXPECT_EQ(snapshot(installed_), before_) << "replaced under a running copy";
    EXPECT_EQ(controller->installed_launcher(), std::nullopt);
    EXPECT_FALSE(controller->last_check_offered_update()) << "the hold must let this version start";
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("Demo 1.1 will be installed when every copy of Demo has quit"));

    host.other_copies_run = false;
    PendingUpdate nothing_of_its_own;
    EXPECT_TRUE(nothing_of_its_own.install(host));
    EXPECT_EQ(read_file(installed_ / "Contents/MacOS/Demo"), "new launcher");
    expect_previous_kept();
}

TEST_F(UpdateInstallationTest, ASkippedVersionIsNotOfferedByScheduledChecks) {
    host.info[kestrova::info_keys::enable_automatic_checks] = "YES";
    serve();
    start(false);  // never checked: a scheduled check at once offers 1.1
    ASSERT_EQ(host.choice_alerts.size(), 0u) << "no button was set to answer";
    user_check(skip_button);
    ASSERT_EQ(host.choice_alerts.size(), 1u);
    ASSERT_TRUE(host.fire_next_timer());
    EXPECT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_THAT(host.download_requests, IsEmpty());
    EXPECT_TRUE(logged("the user skipped it"));
}

}  // namespace
}  // namespace kestrova::updater
