// End-to-end: an update site that accepts the connection and never answers delays the launch by the
// gate's time-out and no more.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/update_log.h"

namespace kestrova::testing {
namespace {

TEST(SlowUpdateSite, SiteThatNeverAnswersCostsTheTimeOutThenTheLaunchGoesOn) {
    HttpServer server;
    server.route("/updates/metadata.properties", HttpResponse::never_answer());
    TempDir dir;
    BundleRecipe recipe;
    recipe.extra = {"--with-updater", "--aggressive-updates", "--feed-url", server.url("/updates/appcast.xml")};
    const auto executable = make_bundle(dir.path(), recipe);
    ProcessOptions options;
    options.env["KESTROVA_UPDATE_LOG"] = (dir.path() / "update.log").string();
    options.env["XDG_STATE_HOME"] = (dir.path() / "state").string();
    // Shortened from 30 s: the case is the same, the wait is not worth the suite's time.
    options.env["KESTROVA_UPDATE_GATE_TIMEOUT"] = "3";
    options.timeout = std::chrono::seconds(60);

    const auto started = std::chrono::steady_clock::now();
    const auto r = launch(executable, {"--wait-log", "Starting Sparkle."}, options);
    const auto took = std::chrono::steady_clock::now() - started;

    ASSERT_FALSE(r.timed_out) << "the launch hung";
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true");
    const auto logged = update_log_records(dir.path() / "update.log");
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(logged[2], "Download metadata.properties failed: The request timed out.");
    // The request's own time-out ends the wait: about 3 s, never much more.
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::seconds(20));
}

}  // namespace
}  // namespace kestrova::testing
