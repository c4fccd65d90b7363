// The updater controller through its user driver: what it hands the driver (never a text) and that
// a check ends exactly once, when the user is done.
#include "tests/support/temp_dir.h"
#include "tests/updater/fake_updater_host.h"
#include "tests/updater/recording_user_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include "kestrova/info_plist_keys.h"

namespace kestrova::updater {
namespace {

using kestrova::testing::TempDir;
using testing::appcast_xml;
using ::testing::ElementsAre;
using testing::FakeUpdaterHost;
using testing::FeedItem;
using testing::http_ok;
using testing::http_status;
using ::testing::IsEmpty;
using testing::RecordingUserDriver;

constexpr const char* feed_url = "https://updates.example.test/appcast.xml";

class UserDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.info = {{kestrova::info_keys::bundle_version, "100"},
                     {kestrova::info_keys::bundle_short_version, "1.0"},
                     {kestrova::info_keys::bundle_name, "Tessavane"},
                     {kestrova::info_keys::bundle_identifier, "test.kestrova.driver"},
                     {kestrova::info_keys::feed_url, feed_url},
                     {kestrova::info_keys::enable_automatic_checks, "YES"}};
        host.environment = {{"XDG_STATE_HOME", state.path().string()}};
    }

    void start() {
        controller = std::make_unique<UpdaterController>(host, driver, host.delegate());
        host.run_main_queue();
    }

    void user_check() {
        controller->check_for_updates();
        host.run_main_queue();
    }

    TempDir state;
    FakeUpdaterHost host;
    RecordingUserDriver driver;
    std::unique_ptr<UpdaterController> controller;
};

TEST_F(UserDriverTest, AnOfferCarriesTheItemAndTheInstalledApplication) {
    host.responses[feed_url] = http_ok(appcast_xml({{"200", "2.0", "https://example.test/2.0"}}));
    start();  // never checked: a scheduled check at once, and an offer even so
    ASSERT_THAT(driver.shown, ElementsAre("update_found:200"));
    const UpdateOffer& offer = driver.offers[0];
    EXPECT_EQ(offer.display_version, "2.0");
    EXPECT_EQ(offer.download_address, "https://example.test/2.0");
    EXPECT_THAT(offer.choices, ElementsAre(UpdateChoice::remind_later, UpdateChoice::skip_version));
    EXPECT_EQ(driver.applications[0].name, "Tessavane");
    EXPECT_EQ(driver.applications[0].version, "100");
    EXPECT_EQ(driver.applications[0].display_version, "1.0");
    EXPECT_THAT(host.alerts, IsEmpty());  // the controller itself shows nothing
}

// A copy a system package installed is never offered Install, even where this user could replace it.
TEST_F(UserDriverTest, APackageManagedCopyIsOfferedNoInstall) {
    host.info[kestrova::info_keys::package_managed] = "YES";
    host.bundle = state.path();
    host.responses[feed_url] = http_ok(
        appcast_xml({{"200", "2.0", "https://example.test/2.0", "https://example.test/App_200.zip"}}));
    start();
    ASSERT_THAT(driver.shown, ElementsAre("update_found:200"));
    EXPECT_TRUE(driver.applications[0].package_managed);
    EXPECT_THAT(driver.offers[0].choices, ::testing::Not(::testing::Contains(UpdateChoice::install)));
    EXPECT_THAT(host.download_requests, IsEmpty());
}

struct SkipCase {
    const char* name;
    const char* skipped;  // the version skipped at the first offer
    const char* newest;   // the feed's newest at the next check
    bool user_initiated;  // the next check
    bool offered;
};

class SkippedVersionTest : public UserDriverTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SkippedVersionTest, ASkippedVersionIsOfferedOnlyWhenTheUserAsksOrANewerOneComes) {
    host.responses[feed_url] = http_ok(appcast_xml({{GetParam().skipped}}));
    driver.choose = UpdateChoice::skip_version;
    start();  // never checked: a scheduled check at once
    ASSERT_THAT(driver.shown, ElementsAre("update_found:" + std::string(GetParam().skipped)));
    driver.shown.clear();
    driver.choose.reset();

    host.responses[feed_url] = http_ok(appcast_xml({{GetParam().newest}}));
    if (GetParam().user_initiated) {
        user_check();
    } else {
        ASSERT_TRUE(host.fire_next_timer());
    }
    if (GetParam().offered) {
        EXPECT_THAT(driver.shown, ElementsAre("update_found:" + std::string(GetParam().newest)));
    } else {
        EXPECT_THAT(driver.shown, IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SkippedVersionTest,
                         ::testing::Values(SkipCase{"ScheduledSameVersion", "200", "200", false, false},
                                           SkipCase{"ScheduledOlderThanSkipped", "200", "150", false, false},
                                           SkipCase{"ScheduledNewerVersion", "200", "300", false, true},
                                           SkipCase{"UserInitiatedSameVersion", "200", "200", true, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(UserDriverTest, RemindLaterLeavesTheVersionForTheNextScheduledCheck) {
    host.responses[feed_url] = http_ok(appcast_xml({{"200"}}));
    driver.choose = UpdateChoice::remind_later;
    start();
    ASSERT_TRUE(host.fire_next_timer());
    EXPECT_THAT(driver.shown, ElementsAre("update_found:200", "update_found:200"));
}

TEST_F(UserDriverTest, ScheduledChecksShowTheUserOnlyAnOffer) {
    host.responses[feed_url] = http_status(503);
    start();
    host.responses[feed_url] = http_ok(appcast_xml({{"100"}}));
    ASSERT_TRUE(host.fire_next_timer());
    EXPECT_THAT(driver.shown, IsEmpty());
}

struct ErrorCase {
    const char* name;
    std::function<void(FakeUpdaterHost&)> arrange;
    CheckError::Kind kind;
    int http_status;
};

class UserDriverErrorTest : public UserDriverTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(UserDriverErrorTest, EachFailureReachesTheDriverAsItsKind) {
    host.info.erase(kestrova::info_keys::enable_automatic_checks);
    GetParam().arrange(host);
    start();
    user_check();
    ASSERT_THAT(driver.shown, ElementsAre("error"));
    EXPECT_EQ(driver.errors[0].kind, GetParam().kind);
    EXPECT_EQ(driver.errors[0].http_status, GetParam().http_status);
    EXPECT_EQ(host.stops(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UserDriverErrorTest,
    ::testing::Values(ErrorCase{"NoVersion",
                                [](FakeUpdaterHost& h) { h.info[kestrova::info_keys::bundle_version] = " "; },
                                CheckError::Kind::no_bundle_version, 0},
                      ErrorCase{"NoFeed", [](FakeUpdaterHost& h) { h.info.erase(kestrova::info_keys::feed_url); },
                                CheckError::Kind::no_feed, 0},
                      ErrorCase{"CannotConnect", [](FakeUpdaterHost&) {}, CheckError::Kind::download_failed, 0},
                      ErrorCase{"ServerStatus", [](FakeUpdaterHost& h) { h.responses[feed_url] = http_status(404); },
                                CheckError::Kind::server_status, 404},
                      ErrorCase{"NotAnAppcast", [](FakeUpdaterHost& h) { h.responses[feed_url] = http_ok("<html>"); },
                                CheckError::Kind::feed_unreadable, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UserDriverTest, ACheckEndsOnlyWhenTheUserAnswers) {
    host.info.erase(kestrova::info_keys::enable_automatic_checks);
    host.responses[feed_url] = http_ok(appcast_xml({{"200"}}));
    driver.answer_later = true;
    start();
    user_check();
    ASSERT_EQ(driver.pending.size(), 1u);
    EXPECT_EQ(host.stops(), 0);  // the hold path must wait for the user
    driver.pending[0]();
    host.run_main_queue();
    EXPECT_EQ(host.stops(), 1);
}

TEST_F(UserDriverTest, AnAnswerGivenTwiceEndsTheCheckOnce) {
    host.responses[feed_url] = http_ok(appcast_xml({{"100"}}));
    driver.answers_per_message = 2;
    start();
    user_check();
    EXPECT_THAT(driver.shown, ElementsAre("up_to_date"));
    EXPECT_EQ(host.stops(), 1);
    EXPECT_EQ(host.active_timers().size(), 1u);  // rescheduled once, not twice
}

}  // namespace
}  // namespace kestrova::updater
