// End-to-end: a bundle that requires a signed feed against a site that `kestrova-pack release`
// signed, served on 127.0.0.1, where the site (or the network) then lies: a forged
// metadata.properties and a replayed appcast.xml.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

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

}  // namespace
}  // namespace kestrova::testing
