// End-to-end: the launch gate's hold, for real: the update site announces a newer version, the
// update check's dialog appears instead of the application with its choices, and the launcher ends
// once the user has answered it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/update_log.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* update_available = "A new version is available!";

struct OfferCase {
    const char* name;
    // Keys typed into the dialog: "Remind Me Later" has the focus, Tab moves it to "Skip This Version".
    std::vector<std::string> keys;
    bool skipped;
};

class UpdateHoldUnderXvfb : public ::testing::TestWithParam<OfferCase> {};

// The version the user skipped, from the state directory; empty when none was remembered.
std::string skipped_version_in(const std::filesystem::path& state) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(state, ec)) {
        if (entry.path().extension() == ".skipped-version") {
            std::ifstream in(entry.path());
            std::string line;
            std::getline(in, line);
            return line;
        }
    }
    return {};
}

TEST_P(UpdateHoldUnderXvfb, DialogOffersTheNewVersionAndTheApplicationNeverStarts) {
    std::string why_not;
    const auto x = XvfbDisplay::start(why_not);
    if (!x) GTEST_SKIP() << "No dialog under Xvfb: " << why_not;

    HttpServer site;
    site.route("/app/metadata.properties", HttpResponse::text(200, "app.version=3.1\napp.revision=4\n"));
    site.route(
        "/app/appcast.xml",
        HttpResponse::text(200,
                           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                           "<channel><item><title>3.1.4</title><link>https://example.invalid/3.1.4</link>"
                           // No enclosure: nothing to install, so only the two choices of any offer.
                           "<sparkle:version>3.1.4</sparkle:version>"
                           "</item></channel></rss>"));
    TempDir dir;
    BundleRecipe recipe;
    recipe.extra = {"--with-updater", "--aggressive-updates",      "--bundle-version", "3.0",
                    "--feed-url",     site.url("/app/appcast.xml")};
    const auto executable = make_bundle(dir.path(), recipe);
    auto options = x->on_display();
    options.env["KESTROVA_UPDATE_LOG"] = (dir.path() / "update.log").string();
    options.env["XDG_STATE_HOME"] = (dir.path() / "state").string();
    auto app = launch_in_background(executable, {}, options);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (x->windows_named(update_available).empty()) {
        ASSERT_TRUE(app.running()) << "the launcher exited without the dialog; stderr:\n" << app.err();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no dialog; stderr:\n" << app.err();
        std::this_thread::sleep_for(100ms);
    }
    const auto children = children_of(app.pid());
    ASSERT_EQ(children.size(), 1u);
    const auto argv = command_line_of(children.front());
    bool offers_version = false;
    for (const auto& arg : argv) offers_version |= arg.find("3.1.4") != std::string::npos;
    EXPECT_TRUE(offers_version) << "the dialog does not name the new version";
    const auto has = [&argv](const std::string& arg) { return std::find(argv.begin(), argv.end(), arg) != argv.end(); };
    EXPECT_TRUE(has("--question") && has("--cancel-label=Remind Me Later") && has("--ok-label=Skip This Version") &&
                has("--default-cancel"))
        << "the dialog does not offer the choices: " << ::testing::PrintToString(argv);

    ASSERT_TRUE(app.running()) << "the hold ended under the dialog";
    const auto& keys = GetParam().keys;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) ASSERT_EQ(x->send_key(update_available, keys[i]).exit_status, 0);
    // The last key closes the dialog on its press: its release would find no window.
    ASSERT_TRUE(x->close_with_key(update_available, keys.back(), true)) << "the dialog stayed up";

    const auto r = app.wait(20s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("args.length"), std::string::npos) << "the application started: " << r.out;
    const auto logged = update_log_records(dir.path() / "update.log");
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(logged[3],
              "Forcing an update check with UI due to new version availability and aggressive "
              "updates mode being enabled.");
    EXPECT_EQ(skipped_version_in(dir.path() / "state"), GetParam().skipped ? "3.1.4" : "");
}

INSTANTIATE_TEST_SUITE_P(Choices, UpdateHoldUnderXvfb,
                         ::testing::Values(OfferCase{"RemindMeLaterIsTheDefault", {"Return"}, false},
                                           OfferCase{"ClosingIsRemindMeLater", {"Escape"}, false},
                                           OfferCase{"SkipThisVersion", {"Tab", "Return"}, true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrova::testing
