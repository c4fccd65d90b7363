// The updater controller driven through a fake host: start-up scheduling, scheduled and user-initiated
// checks, what the user and the delegate are told, the last check time, and the application stop that
// ends every user-initiated check.
#include "updater/updater_controller.h"

#include "kestrova/info_plist_keys.h"
#include "kestrova/update_settings.h"
#include "protocol/rollout.h"
#include "updater/last_check_store.h"

#include "fake_updater_host.h"
#include "heap_peak.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrova::updater {
namespace {

using kestrova::testing::TempDir;
using testing::appcast_xml;
using ::testing::ElementsAre;
using testing::FakeUpdaterHost;
using testing::FeedItem;
using ::testing::HasSubstr;
using testing::heap_peak_since_reset;
using testing::http_ok;
using testing::http_status;
using ::testing::IsEmpty;
using testing::reset_heap_peak;
using testing::test_epoch;

constexpr const char* feed_url = "https://updates.example.test/appcast.xml";
constexpr const char* identifier = "test.kestrova.tessavane";

class UpdaterControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.info = {{kestrova::info_keys::bundle_version, "100"},
                     {kestrova::info_keys::bundle_short_version, "1.0"},
                     {kestrova::info_keys::bundle_name, "Tessavane"},
                     {kestrova::info_keys::bundle_identifier, identifier},
                     {kestrova::info_keys::feed_url, feed_url}};
        host.environment = {{"XDG_STATE_HOME", state.path().string()}, {"HOME", "/nonexistent"}};
    }

    void TearDown() override {
        host.join_workers();
        host.run_main_queue();
    }

    UpdaterController& create() {
        controller = std::make_unique<UpdaterController>(host, driver, host.delegate());
        return *controller;
    }

    // Created, and its start-up run.
    UpdaterController& started() {
        create();
        host.run_main_queue();
        return *controller;
    }

    // A user-initiated check, and everything it queued on the main run loop.
    void user_check() {
        controller->check_for_updates();
        host.run_main_queue();
    }

    void automatic_checks(std::string interval = {}) {
        host.info[kestrova::info_keys::enable_automatic_checks] = "YES";
        if (!interval.empty()) {
            host.info[kestrova::info_keys::scheduled_check_interval] = interval;
        }
    }

    void serve(std::vector<FeedItem> items) { host.responses[feed_url] = http_ok(appcast_xml(items)); }

    std::filesystem::path state_file() const {
        return state.path() / "kestrova-updater" / (std::string(identifier) + ".last-check");
    }

    void last_checked_at(double time) { ASSERT_NO_THROW(write_last_check(state_file(), time)); }

    std::string load_event() const { return std::string("load:") + feed_url; }

    TempDir state;
    FakeUpdaterHost host;
    StandardUserDriver driver{host};
    std::unique_ptr<UpdaterController> controller;
};

// --- Start-up ---------------------------------------------------------------------------------

TEST_F(UpdaterControllerTest, StartUpWaitsForTheNextTurnOfTheMainRunLoop) {
    automatic_checks();
    serve({{"100"}});
    create();
    EXPECT_THAT(host.events, IsEmpty());
    host.run_main_queue();
    EXPECT_THAT(host.requests, ::testing::SizeIs(1));
}

TEST_F(UpdaterControllerTest, NeverCheckedStartsABackgroundCheckWithoutAnnouncingADelay) {
    automatic_checks();
    serve({{"100"}});
    started();
    // The delay is announced only for the next check, after this one.
    EXPECT_THAT(host.events, ElementsAre(load_event(), "did_finish", "will_schedule:86400"));
    EXPECT_THAT(host.alerts, IsEmpty());
    ASSERT_EQ(host.active_timers().size(), 1u);
    EXPECT_DOUBLE_EQ(host.active_timers()[0].fire_date, test_epoch + 86400);
}

TEST_F(UpdaterControllerTest, RecentCheckArmsATimerForTheRestOfTheInterval) {
    automatic_checks();
    last_checked_at(test_epoch - 1000);
    started();
    EXPECT_THAT(host.events, ElementsAre("will_schedule:85400"));
    EXPECT_THAT(host.requests, IsEmpty());
    ASSERT_EQ(host.active_timers().size(), 1u);
    EXPECT_DOUBLE_EQ(host.active_timers()[0].fire_date, test_epoch + 85400);
}

struct StartUpCase {
    const char* name;
    const char* interval;     // SUScheduledCheckInterval, or null
    double seconds_ago;       // when the last check was, relative to now
    const char* first_event;  // what start-up does
};

class StartUpScheduleTest : public UpdaterControllerTest, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpScheduleTest, SchedulesFromTheLastCheck) {
    const auto& c = GetParam();
    automatic_checks(c.interval ? c.interval : "");
    serve({{"100"}});
    last_checked_at(test_epoch - c.seconds_ago);
    started();
    ASSERT_FALSE(host.events.empty());
    EXPECT_EQ(host.events.front(), c.first_event == std::string("load") ? load_event() : c.first_event);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartUpScheduleTest,
    ::testing::Values(StartUpCase{"JustChecked", nullptr, 0, "will_schedule:86400"},
                      StartUpCase{"LastCheckInTheFutureCountsAsNow", nullptr, -5000, "will_schedule:86400"},
                      StartUpCase{"ExactlyOneIntervalAgoIsDue", "7200", 7200, "load"},
                      StartUpCase{"LongAgoIsDue", nullptr, 10 * 86400, "load"},
                      StartUpCase{"CustomInterval", "7200", 200, "will_schedule:7000"},
                      StartUpCase{"IntervalBelowTheMinimumCountsAs3600", "60", 100, "will_schedule:3500"},
                      StartUpCase{"NegativeIntervalCountsAs3600", "-5", 600, "will_schedule:3000"},
                      StartUpCase{"UnreadableIntervalMeansTheDefault", "soon", 400, "will_schedule:86000"}),
    [](const auto& p) { return std::string(p.param.name); });

struct NothingScheduledCase {
    const char* name;
    std::function<void(FakeUpdaterHost&)> settings;
};

class NothingScheduledTest : public UpdaterControllerTest,
                             public ::testing::WithParamInterface<NothingScheduledCase> {};

TEST_P(NothingScheduledTest, StartUpDoesNothing) {
    serve({{"200"}});
    GetParam().settings(host);
    started();
    EXPECT_THAT(host.events, IsEmpty());
    EXPECT_THAT(host.active_timers(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, NothingScheduledTest,
    ::testing::Values(NothingScheduledCase{"AutomaticChecksAbsent", [](FakeUpdaterHost&) {}},
                      NothingScheduledCase{"AutomaticChecksNo",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "NO";
                                           }},
                      NothingScheduledCase{"AutomaticChecksUnreadable",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "sometimes";
                                           }},
                      NothingScheduledCase{"IntervalZero",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "YES";
                                               h.info[kestrova::info_keys::scheduled_check_interval] = "0";
                                           }},
                      NothingScheduledCase{"NoFeed",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "YES";
                                               h.info.erase(kestrova::info_keys::feed_url);
                                           }},
                      NothingScheduledCase{"NoBundleVersion",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "YES";
                                               h.info.erase(kestrova::info_keys::bundle_version);
                                           }},
                      NothingScheduledCase{"EmptyBundleVersion",
                                           [](FakeUpdaterHost& h) {
                                               h.info[kestrova::info_keys::enable_automatic_checks] = "YES";
                                               h.info[kestrova::info_keys::bundle_version] = "";
                                           }}),
    [](const auto& p) { return std::string(p.param.name); });

// A hostile site's feed of the largest size taken, made of the smallest items: checking it holds a
// small multiple of the feed's bytes, not the many times its in-memory items would take.
TEST_F(UpdaterControllerTest, AFeedOfManyTinyItemsCostsAFewTimesItsSize) {
    const std::string head = "<rss version=\"2.0\"><channel><title>t</title>";
    const std::string item = "<item><enclosure url=\"_1\"/></item>";
    const std::string newest = "<item><enclosure url=\"_200\"/></item>";
    const std::string tail = "</channel></rss>";
    std::string feed = head;
    while (feed.size() + item.size() + newest.size() + tail.size() <= protocol::max_feed_bytes) feed += item;
    feed += newest + tail;
    host.responses[feed_url] = http_ok(std::move(feed));
    create();
    host.run_main_queue();

    reset_heap_peak();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, update_available_heading);
    EXPECT_LT(heap_peak_since_reset(), 4 * protocol::max_feed_bytes) << "bytes held at most during the check";
}

// --- Scheduled checks ---------------------------------------------------------------------------

TEST_F(UpdaterControllerTest, ScheduledCheckShowsANewerVersionButDoesNotStop) {
    automatic_checks();
    last_checked_at(test_epoch - 1000);
    serve({{"200", "2.0", "https://example.test/download"}});
    started();
    ASSERT_TRUE(host.fire_next_timer());
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, update_available_heading);
    EXPECT_EQ(host.stops(), 0);
}

// A version put back after it could not start: scheduled checks pass over it, the user's shows it.
TEST_F(UpdaterControllerTest, VersionThatCouldNotStartIsOfferedOnlyWhenTheUserAsks) {
    automatic_checks();
    last_checked_at(test_epoch - 1000);
    write_skipped_version(state.path() / "kestrova-updater" / (std::string(identifier) + ".failed-version"), "200");
    serve({{"200", "2.0", "https://example.test/download"}});
    started();
    ASSERT_TRUE(host.fire_next_timer());
    EXPECT_TRUE(host.alerts.empty() && host.choice_alerts.empty()) << "a scheduled check offered it";
    user_check();
    EXPECT_EQ(host.alerts.size() + host.choice_alerts.size(), 1u);
}

TEST_F(UpdaterControllerTest, ScheduledCheckKeepsQuietWhenUpToDateAndReschedules) {
    automatic_checks("7200");
    last_checked_at(test_epoch - 1000);
    serve({{"100"}, {"99"}});
    started();
    ASSERT_TRUE(host.fire_next_timer());
    const double fired_at = host.clock;
    EXPECT_THAT(host.alerts, IsEmpty());
    EXPECT_THAT(host.events, ElementsAre("will_schedule:6200", load_event(), "did_finish", "will_schedule:7200"));
    ASSERT_EQ(host.active_timers().size(), 1u);
    EXPECT_DOUBLE_EQ(host.active_timers()[0].fire_date, fired_at + 7200);
    EXPECT_EQ(read_last_check(state_file()), fired_at);
}

TEST_F(UpdaterControllerTest, ScheduledCheckOnlyLogsAFailureAndStillReschedules) {
    automatic_checks();
    host.responses[feed_url] = http_status(503);
    started();  // never checked: checks at once
    EXPECT_THAT(host.alerts, IsEmpty());
    EXPECT_EQ(host.stops(), 0);
    EXPECT_THAT(host.events, ElementsAre(load_event(), "will_schedule:86400"));
    EXPECT_TRUE(std::any_of(host.log_lines.begin(), host.log_lines.end(),
                            [](const std::string& line) { return line.find("503") != std::string::npos; }));
    EXPECT_EQ(read_last_check(state_file()), test_epoch);
}

// --- User-initiated checks ----------------------------------------------------------------------

TEST_F(UpdaterControllerTest, UpToDateIsShownWithTheVersionThenTheApplicationStops) {
    serve({{"99"}, {"100"}});
    started();
    user_check();
    EXPECT_THAT(host.events, ElementsAre(load_event(), "did_finish", "alert:You're up to date!", "stop"));
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("Tessavane 1.0"));
    EXPECT_EQ(read_last_check(state_file()), test_epoch);
}

TEST_F(UpdaterControllerTest, NewerVersionIsShownWithItsVersionsAndLink) {
    serve({{"150", "1.5", "https://example.test/1.5", "https://example.test/App_150.zip"},
           {"200", "2.0", "https://example.test/2.0", "https://example.test/App_200.zip"},
           {"120", "1.2", "https://example.test/1.2", "https://example.test/App_120.zip"}});
    started();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, update_available_heading);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("2.0 (200)"));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("https://example.test/2.0"));
    EXPECT_EQ(host.events.back(), "stop");
}

struct OfferButtonCase {
    const char* name;
    std::size_t pressed;
    bool skipped;  // the version is remembered as skipped
};

class OfferButtonTest : public UpdaterControllerTest, public ::testing::WithParamInterface<OfferButtonCase> {};

TEST_P(OfferButtonTest, TheStandardDriverOffersTheChoicesWithRemindLaterAsDismissal) {
    serve({{"200", "2.0", "https://example.test/2.0"}});
    host.choice_answer = GetParam().pressed;
    started();
    user_check();
    ASSERT_EQ(host.choice_alerts.size(), 1u);
    EXPECT_TRUE(host.alerts.empty());
    EXPECT_EQ(host.choice_alerts[0].message, update_available_heading);
    EXPECT_THAT(host.choice_alerts[0].buttons,
                ElementsAre(std::string(remind_later_label), std::string(skip_version_label)));
    EXPECT_TRUE(host.choice_alerts[0].dismiss_is_default);  // nothing is done unless the user asks
    const auto skipped = state.path() / "kestrova-updater" / (std::string(identifier) + ".skipped-version");
    EXPECT_EQ(read_skipped_version(skipped), GetParam().skipped ? std::optional<std::string>("200") : std::nullopt);
    EXPECT_EQ(host.events.back(), "stop");
}

INSTANTIATE_TEST_SUITE_P(Table, OfferButtonTest,
                         ::testing::Values(OfferButtonCase{"RemindLater", 0, false},
                                           OfferButtonCase{"SkipThisVersion", 1, true}),
                         [](const auto& p) { return std::string(p.param.name); });

// A copy a system package installed is replaceable by this user (root, say) yet only announced:
// no choice, no address, no download.
TEST_F(UpdaterControllerTest, PackageManagedCopyIsOnlyToldToUseThePackageManager) {
    host.info[kestrova::info_keys::package_managed] = "YES";
    host.bundle = state.path();
    serve({{"200", "2.0", "https://example.test/2.0", "https://example.test/App_200.zip"}});
    started();
    user_check();
    EXPECT_TRUE(host.choice_alerts.empty());
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].informative,
              "Tessavane 2.0 (200) is available: update it with your system's package manager.");
    EXPECT_TRUE(host.download_requests.empty());
    EXPECT_EQ(host.events.back(), "stop");
}

TEST_F(UpdaterControllerTest, NewerVersionWithoutALinkPointsAtTheEnclosure) {
    serve({{"200", "", "", "https://example.test/App_200.zip"}});
    started();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, update_available_heading);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("200"));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("https://example.test/App_200.zip"));
}

TEST_F(UpdaterControllerTest, VersionsAreComparedByTheStandardOrderNotAsText) {
    host.info[kestrova::info_keys::bundle_version] = "1.10";
    serve({{"1.9"}});
    started();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, up_to_date_heading);
}

TEST_F(UpdaterControllerTest, NewerItemForAnotherSystemIsNotOffered) {
    serve({{"100"}, {"300", "3.0", "", "https://example.test/App_300.dmg", "macos"}});
    started();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0].message, up_to_date_heading);
}

// The gate's hold asks this once its run ends: only a user check that offered a newer version
// counts, and each user check answers afresh.
TEST_F(UpdaterControllerTest, OnlyTheLastUserCheckTellsWhetherAnUpdateWasOffered) {
    automatic_checks();
    serve({{"200", "2.0"}});
    started();  // never checked: a scheduled check runs at once and shows the newer version
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_FALSE(controller->last_check_offered_update());
    user_check();
    EXPECT_TRUE(controller->last_check_offered_update());
    serve({{"100"}});
    user_check();
    EXPECT_FALSE(controller->last_check_offered_update());
    serve({{"200", "2.0"}});
    user_check();
    host.responses[feed_url] = http_status(503);
    user_check();
    EXPECT_FALSE(controller->last_check_offered_update());
}

struct FailureCase {
    const char* name;
    std::function<UrlResponse()> response;  // null: the host cannot connect
    const char* shown;                      // part of the error the user sees
};

class FailedCheckTest : public UpdaterControllerTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedCheckTest, IsShownAsAnErrorAndTheDelegateHearsNothing) {
    if (GetParam().response) {
        host.responses[feed_url] = GetParam().response();
    }
    started();
    user_check();
    EXPECT_THAT(host.events, ElementsAre(load_event(), "alert:Update Error!", "stop"));
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailedCheckTest,
    ::testing::Values(
        FailureCase{"NotFound", [] { return http_status(404, appcast_xml({{"200"}})); }, "404"},
        FailureCase{"ServerError", [] { return http_status(500); }, "500"},
        FailureCase{"Redirect", [] { return http_status(304); }, "304"},
        FailureCase{"CannotConnect", nullptr, "Could not connect to the server."},
        FailureCase{"NotXml", [] { return http_ok("<html><body>oops"); }, feed_url},
        FailureCase{"ItemWithoutVersion",
                    [] {
                        return http_ok("<rss version=\"2.0\"><channel><item><title>x</title></item></channel></rss>");
                    },
                    feed_url},
        FailureCase{"DocumentType", [] { return http_ok("<!DOCTYPE rss [<!ENTITY e \"x\">]><rss><channel/></rss>"); },
                    feed_url}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(UpdaterControllerTest, NoFeedIsShownAsAnErrorWithoutDownloading) {
    host.info.erase(kestrova::info_keys::feed_url);
    started();
    user_check();
    EXPECT_THAT(host.events, ElementsAre("alert:Update Error!", "stop"));
    EXPECT_THAT(host.alerts[0].informative, HasSubstr("no update feed"));
    EXPECT_FALSE(std::filesystem::exists(state_file()));
}

// The updater stays idle without a version, but a check the user asked for says why, then ends
// the hold path as any user-initiated check does; nothing is downloaded.
TEST_F(UpdaterControllerTest, WithoutABundleVersionACheckShowsWhyAndStops) {
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "empty" : "absent");
        FakeUpdaterHost fresh;
        fresh.info = host.info;
        fresh.responses = host.responses;
        if (present) {
            fresh.info[kestrova::info_keys::bundle_version] = "";
        } else {
            fresh.info.erase(kestrova::info_keys::bundle_version);
        }
        StandardUserDriver fresh_driver(fresh);
        UpdaterController idle(fresh, fresh_driver, fresh.delegate());
        fresh.run_main_queue();
        idle.check_for_updates();
        fresh.run_main_queue();
        EXPECT_THAT(fresh.events, ElementsAre("alert:Update Error!", "stop"));
        ASSERT_EQ(fresh.alerts.size(), 1u);
        EXPECT_THAT(fresh.alerts[0].informative, HasSubstr("no valid CFBundleVersion"));
        EXPECT_FALSE(fresh.log_lines.empty());
    }
}

TEST_F(UpdaterControllerTest, SecondUserCheckWhileOneRunsStopsWithoutStartingAnother) {
    serve({{"100"}});
    host.delivery = FakeUpdaterHost::Delivery::later;
    auto& c = started();
    c.check_for_updates();
    c.check_for_updates();
    EXPECT_THAT(host.events, ElementsAre(load_event(), "stop"));
    host.complete_pending(http_ok(appcast_xml({{"100"}})));
    host.run_main_queue();
    EXPECT_THAT(host.events, ElementsAre(load_event(), "stop", "did_finish", "alert:You're up to date!", "stop"));
    // Once it ended, a new check may start.
    c.check_for_updates();
    EXPECT_EQ(host.requests.size(), 2u);
}

TEST_F(UpdaterControllerTest, UserCheckDuringAScheduledCheckIsNotStarted) {
    automatic_checks();
    host.delivery = FakeUpdaterHost::Delivery::later;
    started();  // never checked: the scheduled check is under way
    ASSERT_EQ(host.requests.size(), 1u);
    controller->check_for_updates();
    EXPECT_EQ(host.requests.size(), 1u);
    EXPECT_EQ(host.stops(), 1);
    host.complete_pending(http_ok(appcast_xml({{"100"}})));
    host.run_main_queue();
    EXPECT_THAT(host.alerts, IsEmpty());  // it stays a scheduled check
    EXPECT_EQ(host.stops(), 1);
}

TEST_F(UpdaterControllerTest, TimerFiringDuringAUserCheckDoesNotStartASecondDownload) {
    automatic_checks();
    last_checked_at(test_epoch - 86000);
    host.delivery = FakeUpdaterHost::Delivery::later;
    started();
    controller->check_for_updates();
    ASSERT_TRUE(host.fire_next_timer());
    EXPECT_EQ(host.requests.size(), 1u);
    host.complete_pending(http_ok(appcast_xml({{"100"}})));
    host.run_main_queue();
    EXPECT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.active_timers().size(), 1u);  // rescheduled by the check that ran
}

TEST_F(UpdaterControllerTest, TimerServedWhileTheAlertIsUpDoesNotStartAnotherCheck) {
    automatic_checks();
    last_checked_at(test_epoch - 86000);
    serve({{"100"}});
    started();
    host.while_alert_shown = [this] { host.fire_next_timer(); };
    user_check();
    EXPECT_EQ(host.requests.size(), 1u);
    EXPECT_EQ(host.active_timers().size(), 1u);
    EXPECT_EQ(host.events.back(), "stop");
}

TEST_F(UpdaterControllerTest, CompletionOnAWorkerThreadIsHandledOnTheMainQueue) {
    serve({{"200"}});
    host.delivery = FakeUpdaterHost::Delivery::worker_thread;
    started();
    controller->check_for_updates();
    host.join_workers();
    EXPECT_THAT(host.events, ElementsAre(load_event()));  // nothing happens off the main thread
    host.run_main_queue();
    EXPECT_THAT(host.events, ElementsAre(load_event(), "did_finish",
                                         std::string("alert:") + std::string(update_available_heading), "stop"));
}

TEST_F(UpdaterControllerTest, FeedIsRequestedWithATimeOutAndABoundedBody) {
    serve({{"100"}});
    started();
    user_check();
    ASSERT_EQ(host.requests.size(), 1u);
    EXPECT_EQ(host.requests[0].url, feed_url);
    EXPECT_EQ(host.requests[0].timeout_seconds, 30);
    EXPECT_EQ(host.requests[0].max_body_bytes, 4u << 20);
}

TEST_F(UpdaterControllerTest, LastCheckTimeIsWhenTheCheckEnded) {
    serve({{"100"}});
    host.delivery = FakeUpdaterHost::Delivery::later;
    started();
    user_check();
    host.clock = test_epoch + 42.5;
    host.complete_pending(http_ok(appcast_xml({{"100"}})));
    host.run_main_queue();
    EXPECT_EQ(read_last_check(state_file()), test_epoch + 42.5);
}

TEST_F(UpdaterControllerTest, UserCheckReplacesThePendingScheduleWithAFullInterval) {
    automatic_checks();
    last_checked_at(test_epoch - 80000);
    serve({{"100"}});
    started();
    host.clock = test_epoch + 10;
    user_check();
    EXPECT_THAT(host.events, ElementsAre("will_schedule:6400", load_event(), "did_finish", "alert:You're up to date!",
                                         "will_schedule:86400", "stop"));
    ASSERT_EQ(host.active_timers().size(), 1u);
    EXPECT_DOUBLE_EQ(host.active_timers()[0].fire_date, test_epoch + 10 + 86400);
}

TEST_F(UpdaterControllerTest, UnwritableStateDirectoryIsLoggedAndTheCheckStillEnds) {
    const auto blocker = state.path() / "file";
    { std::ofstream(blocker) << "x"; }
    host.environment["XDG_STATE_HOME"] = blocker.string();
    serve({{"100"}});
    started();
    user_check();
    EXPECT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.events.back(), "stop");
    EXPECT_TRUE(std::any_of(host.log_lines.begin(), host.log_lines.end(),
                            [](const std::string& line) { return line.find("last check") != std::string::npos; }));
}

TEST_F(UpdaterControllerTest, UnreadableLastCheckCountsAsNeverChecked) {
    automatic_checks();
    std::filesystem::create_directories(state_file().parent_path());
    { std::ofstream(state_file()) << "yesterday"; }
    serve({{"100"}});
    started();
    EXPECT_EQ(host.events.front(), load_event());
}

TEST_F(UpdaterControllerTest, DelegateThatThrowsStillEndsWithAStop) {
    serve({{"200"}});
    auto delegate = host.delegate();
    delegate.did_finish_loading_appcast = [] { throw std::runtime_error("delegate failure"); };
    controller = std::make_unique<UpdaterController>(host, driver, delegate);
    host.run_main_queue();
    user_check();
    EXPECT_EQ(host.stops(), 1);
    EXPECT_EQ(host.events.back(), "stop");
}

// --- Rollout, channels and release notes ----------------------------------------------------------

// A feed of one item per entry: version, then whatever else the item holds.
std::string feed_of(std::vector<std::pair<std::string, std::string>> items) {
    std::string xml = R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
    for (const auto& [version, rest] : items)
        xml += "<item><sparkle:version>" + version + "</sparkle:version>" + rest + "</item>";
    return xml + "</channel></rss>";
}

// The fake clock's now, as a pubDate.
constexpr const char* published_now = "<pubDate>Wed, 08 Mar 2023 20:26:40 +0000</pubDate>";

bool logged(const FakeUpdaterHost& host, std::string_view words) {
    return std::any_of(host.log_lines.begin(), host.log_lines.end(),
                       [&](const std::string& line) { return line.find(words) != std::string::npos; });
}

TEST_F(UpdaterControllerTest, ScheduledCheckWaitsForTheUsersGroupAndTheUsersOwnCheckDoesNot) {
    automatic_checks();
    const auto number = state.path() / "kestrova-updater" / (std::string(identifier) + ".rollout");
    std::filesystem::create_directories(number.parent_path());
    { std::ofstream(number) << "13\n"; }  // group 6 of 0 to 6: the last one let in
    host.responses[feed_url] = http_ok(feed_of(
        {{"200", std::string(published_now) + "<sparkle:phasedRolloutInterval>3600</sparkle:phasedRolloutInterval>"}}));
    started();  // never checked: a scheduled check at once
    EXPECT_TRUE(host.alerts.empty() && host.choice_alerts.empty()) << "offered before the group's turn";
    EXPECT_TRUE(logged(host, "group (7 of 7) is not due"));
    user_check();
    EXPECT_EQ(host.alerts.size(), 1u) << "the user's own check waits for no group";
}

struct ChannelCase {
    const char* name;
    const char* bundle_channels;  // KestrovaUpdateChannels; nullptr: none
    const char* user_channels;    // the user's file; nullptr: none
    const char* offered;
};

class ChannelCheckTest : public UpdaterControllerTest, public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(ChannelCheckTest, OffersTheNewestOfTheChannelsFollowed) {
    const ChannelCase& c = GetParam();
    if (c.bundle_channels) host.info[std::string(kestrova::info_keys::update_channels)] = c.bundle_channels;
    if (c.user_channels) {
        const auto file = state.path() / "kestrova-updater" / (std::string(identifier) + ".channels");
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << c.user_channels;
    }
    host.responses[feed_url] = http_ok(feed_of({{"200", ""},
                                                {"300", "<sparkle:channel>beta</sparkle:channel>"},
                                                {"400", "<sparkle:channel>qa</sparkle:channel>"}}));
    started();
    user_check();
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_THAT(host.alerts[0].informative, HasSubstr(std::string(c.offered) + " is now available"));
}

INSTANTIATE_TEST_SUITE_P(Table, ChannelCheckTest,
                         ::testing::Values(ChannelCase{"NoneFollowed", nullptr, nullptr, "200"},
                                           ChannelCase{"TheBundles", "beta", nullptr, "300"},
                                           ChannelCase{"TheUsersBesideTheBundles", "beta", "# mine\nqa\n", "400"},
                                           ChannelCase{"TheUsersAlone", nullptr, "beta", "300"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct NotesLinkCase {
    const char* name;
    const char* link;
    const char* description;              // the item's, before its link
    std::optional<UrlResponse> response;  // nothing: never requested
    const char* details;
};

class NotesLinkTest : public UpdaterControllerTest, public ::testing::WithParamInterface<NotesLinkCase> {};

TEST_P(NotesLinkTest, IsFetchedWithinTheFeedsBoundsAndNeverHoldsTheOffer) {
    const NotesLinkCase& c = GetParam();
    host.choice_answer = 0;
    host.responses[feed_url] = http_ok(feed_of({{"200", std::string(c.description) + "<sparkle:releaseNotesLink>" +
                                                            std::string(c.link) + "</sparkle:releaseNotesLink>"}}));
    if (c.response) host.responses[c.link] = *c.response;
    started();
    user_check();
    ASSERT_EQ(host.choice_alerts.size(), 1u) << "no offer";
    EXPECT_EQ(host.choice_alerts[0].details, c.details);
    ASSERT_EQ(host.requests.size(), c.response ? 2u : 1u);
    if (c.response) {
        EXPECT_EQ(host.requests[1].max_body_bytes, protocol::max_feed_bytes);
        EXPECT_EQ(host.requests[1].timeout_seconds, protocol::feed_timeout_seconds);
    }
    EXPECT_EQ(host.events.back(), "stop");
}

INSTANTIATE_TEST_SUITE_P(
    Table, NotesLinkTest,
    ::testing::Values(
        NotesLinkCase{"DescriptionFirst", "https://example.test/notes",
                      "<description><![CDATA[<p>Faster &amp; <script>x()</script>safer</p>]]></description>",
                      std::nullopt, "Faster & safer"},
        NotesLinkCase{"HtmlPage", "https://example.test/notes.html", "",
                      http_ok("<h1>2.0</h1><p>New &lt;things&gt;</p>"), "2.0\n\nNew <things>"},
        NotesLinkCase{"Missing", "https://example.test/gone", "", http_status(404), ""},
        NotesLinkCase{"ALocalFileIsNeverOpened", "file:///etc/passwd", "", std::nullopt, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kestrova::updater
