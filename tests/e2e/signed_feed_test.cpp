// End-to-end: a bundle that requires a signed feed against a site that `kestrova-pack release`
// signed, served on 127.0.0.1, where the site (or the network) then lies: a forged
// metadata.properties and a replayed appcast.xml.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>

#include "tests/support/release_site.h"
#include "tests/support/update_log.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* forcing =
    "Forcing an update check with UI due to new version availability and aggressive updates mode being enabled.";

class SignedFeed : public ::testing::Test {
protected:
    ProcessResult run(const fs::path& executable, const std::vector<std::string>& args) {
        ProcessOptions options;
        options.env["KESTROVA_UPDATE_LOG"] = log_.string();
        options.env["XDG_STATE_HOME"] = (dir_.path() / "state").string();
        options.timeout = std::chrono::seconds(60);
        fs::remove(log_);
        return launch(executable, args, options);
    }
    bool logged(const std::string& record, const std::string& category = "sparkle") const {
        const auto records = update_log_records(log_, category);
        return std::find(records.begin(), records.end(), record) != records.end();
    }

    ReleaseSite site_;
    TempDir dir_;
    fs::path log_ = dir_.path() / "update.log";
};

TEST_F(SignedFeed, AForgedMetadataFileNoLongerHoldsTheLaunch) {
    site_.release(site_.make_bundle(dir_.path() / "new", "2.0", {"--require-signed-feed"}));
    const auto installed = site_.make_bundle(dir_.path() / "old", "1.0",
                                             {"--require-signed-feed", "--aggressive-updates"});

    // The release's own file holds the launch: the signature is what the bundle checks.
    auto r = run(installed, {"--wait-log", "Starting Sparkle."});
    EXPECT_TRUE(logged(forcing)) << r.err;

    const std::string forged = "app.version=9\napp.revision=9\n";
    for (const std::string& body : {forged, forged + site_.file("metadata.properties")}) {
        site_.server().route(ReleaseSite::path_of("metadata.properties"), HttpResponse::text(200, body));
        r = run(installed, {"--wait-log", "Starting Sparkle."});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(value_of(r.out, "main.returned"), "true") << "the launch was held: " << r.err;
        EXPECT_FALSE(logged(forcing));
        const auto records = update_log_records(log_);
        EXPECT_EQ(std::count_if(records.begin(), records.end(),
                                [](const std::string& record) {
                                    return record.starts_with("metadata.properties is not trusted (") &&
                                           record.ends_with("), so the application starts.");
                                }),
                  1)
            << r.err;
    }
}

TEST_F(SignedFeed, AReplayedFeedIsRefusedThoughItsSignatureIsGood) {
    site_.release(site_.make_bundle(dir_.path() / "v11", "1.1", {"--require-signed-feed"}));
    const std::string replayed = site_.file("appcast.xml");
    site_.release(site_.make_bundle(dir_.path() / "v12", "1.2", {"--require-signed-feed"}));
    const auto installed = site_.make_bundle(dir_.path() / "old", "1.0",
                                             {"--require-signed-feed", "--automatic-checks", "--check-interval",
                                              "3600"});
    const fs::path last_check = dir_.path() / "state/kestrova-updater/app.kestrova.probe.last-check";
    const std::vector<std::string> args = {"--wait-log", "Will schedule update check after delay 01:00:00"};

    auto r = run(installed, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("1.2 is now available"), std::string::npos) << r.err;

    site_.server().route(ReleaseSite::path_of("appcast.xml"), HttpResponse::text(200, replayed));
    fs::remove(last_check);
    r = run(installed, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("is now available"), std::string::npos) << r.err;
    const auto records = update_log_records(log_, "updater");
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const std::string& record) {
                                return record.starts_with("Feed refused: it is an older file than one accepted before");
                            }),
              1)
        << r.err;
}

// With a day between rollout groups, the gate holds the launch of group 0 at once and that of
// group 6 not for six days; a critical release holds every group.
TEST_F(SignedFeed, APhasedReleaseHoldsOnlyTheGroupsItHasReached) {
    site_.release(site_.make_bundle(dir_.path() / "new", "2.0", {"--require-signed-feed"}),
                  {"--phased-rollout-interval", "86400"});
    const auto installed = site_.make_bundle(dir_.path() / "old", "1.0",
                                             {"--require-signed-feed", "--aggressive-updates"});
    const fs::path number = dir_.path() / "state/kestrova-updater/app.kestrova.probe.rollout";
    fs::create_directories(number.parent_path());
    const auto held_with = [&](const char* kept) {
        std::ofstream(number) << kept << "\n";
        const auto r = run(installed, {"--wait-log", "Starting Sparkle."});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return logged(forcing);
    };
    EXPECT_TRUE(held_with("7")) << "group 0 was not held";
    EXPECT_FALSE(held_with("6")) << "group 6 was held on the first day";
    EXPECT_TRUE(
        logged("Version 2.0 is rolled out in phases and has not reached this user's group yet, so the "
               "launch is not held."));
    site_.release(site_.make_bundle(dir_.path() / "critical", "2.1", {"--require-signed-feed"}),
                  {"--phased-rollout-interval", "86400", "--critical-update"});
    EXPECT_TRUE(held_with("6")) << "a critical release waited for the group";
}

// What a hostile site (or the network) may send instead of the release's feed, for a bundle that
// requires a signed one: in every case the application starts in this very run, nothing is
// offered and the bundle stays as it was. Covered elsewhere: a forged metadata file and a replayed
// feed above; an endless metadata file in the gate's table; another key's or application's file,
// an expired feed (a freeze) and a rewound clock in the unit table of signed files.
struct HostileCase {
    const char* name;
    // Changes what the site serves; `other` is a site of another application and key.
    std::function<void(ReleaseSite& site, ReleaseSite& other)> lie;
    const char* logged;  // the start of the updater's refusal; nullptr when the gate already refuses
};

class HostileSite : public SignedFeed, public ::testing::WithParamInterface<HostileCase> {};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST_P(HostileSite, NothingIsOfferedOrInstalledAndTheApplicationStarts) {
    const HostileCase& c = GetParam();
    ReleaseSite other;
    site_.release(site_.make_bundle(dir_.path() / "new", "1.1", {"--require-signed-feed"}));
    other.release(other.make_bundle(dir_.path() / "other", "9.0",
                                    {"--require-signed-feed", "--bundle-identifier", "org.example.other"}));
    const auto installed = site_.make_bundle(dir_.path() / "old", "1.0",
                                             {"--require-signed-feed", "--aggressive-updates"});
    c.lie(site_, other);

    const auto started_at = std::chrono::steady_clock::now();
    const auto r = run(installed, {"--wait-log", "Starting Sparkle."});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true") << "the application did not start: " << r.err;
    EXPECT_EQ(r.err.find("is now available"), std::string::npos) << r.err;
    EXPECT_EQ(bundle_version_of(installed.parent_path().parent_path().parent_path()), "1.0");
    EXPECT_LT(std::chrono::steady_clock::now() - started_at, std::chrono::seconds(45));
    if (c.logged) {
        const auto records = update_log_records(log_, "updater");
        EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const std::string& record) {
            return record.starts_with(c.logged);
        })) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileSite,
    ::testing::Values(
        HostileCase{"ForgedItemText",
                    [](ReleaseSite& site, ReleaseSite&) {
                        site.server().route(
                            ReleaseSite::path_of("appcast.xml"),
                            HttpResponse::text(200, replaced(site.file("appcast.xml"), "<title>Version 1.1</title>",
                                                             "<title>Urgent: install from evil.test</title>")));
                    },
                    "Feed refused: its signature is not one"},
        // An old signed archive under a newer version number: the item says 1.2 and names 1.1's
        // archive with 1.1's signature, which the feed's signature no longer covers.
        HostileCase{"RelabelledArchive",
                    [](ReleaseSite& site, ReleaseSite&) {
                        std::string feed = site.file("appcast.xml");
                        feed = replaced(feed, "<sparkle:version>1.1</sparkle:version>",
                                        "<sparkle:version>1.2</sparkle:version>");
                        site.server().route(ReleaseSite::path_of("appcast.xml"), HttpResponse::text(200, feed));
                    },
                    "Feed refused: its signature is not one"},
        // Another feed's item spliced in before this feed's own, the signature line kept.
        HostileCase{"ItemOfAnotherFeedMixedIn",
                    [](ReleaseSite& site, ReleaseSite& other) {
                        const std::string theirs = other.file("appcast.xml");
                        const auto from = theirs.find("<item>");
                        const auto to = theirs.find("</item>") + 7;
                        std::string feed = site.file("appcast.xml");
                        feed.insert(feed.find("<item>"), theirs.substr(from, to - from));
                        site.server().route(ReleaseSite::path_of("appcast.xml"), HttpResponse::text(200, feed));
                    },
                    "Feed refused: its signature is not one"},
        HostileCase{"EndlessFeed",
                    [](ReleaseSite& site, ReleaseSite&) {
                        site.server().route(ReleaseSite::path_of("appcast.xml"), HttpResponse::endless_body());
                    },
                    "Feed download failed"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kestrova::testing
