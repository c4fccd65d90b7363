// End-to-end: the updater and the launch gate against an update site served on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "kestrova/info_plist_keys.h"
#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/update_log.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* registering =
    "Registering NSApplicationDidFinishLaunchingNotification callback for starting Sparkle.";
constexpr const char* starting = "Starting Sparkle.";
constexpr const char* finished_loading = "Finished loading appcast.";
constexpr const char* forcing =
    "Forcing an update check with UI due to new version availability and aggressive updates mode being enabled.";
constexpr const char* not_found_in_metadata = "Version or revision not found in metadata.";

std::string appcast(const std::vector<std::string>& versions) {
    std::string items;
    for (const auto& v : versions)
        items += "<item><title>Version " + v + "</title><link>https://example.invalid/" + v +
                 "</link><enclosure url=\"https://example.invalid/App_" + v + ".zip\" sp:version=\"" + v +
                 "\" length=\"1\" type=\"application/octet-stream\"/></item>";
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<rss version=\"2.0\" xmlns:sp=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Probe</title>" +
           items + "</channel></rss>";
}

// Seconds since 2001-01-01, the updater's clock for its last-check time.
double absolute_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

// Edits the bundle's Info.plist as a user might by hand: the string value of `key` becomes `value`,
// or the key and its value go when there is none.
void edit_info_plist(const fs::path& executable, std::string_view key, const std::optional<std::string>& value) {
    const fs::path plist = executable.parent_path().parent_path() / "Info.plist";
    std::string text;
    {
        std::ifstream in(plist);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto key_at = text.find("<key>" + std::string(key) + "</key>");
    const auto open = key_at == std::string::npos ? key_at : text.find("<string>", key_at);
    const auto close = open == std::string::npos ? open : text.find("</string>", open);
    if (close == std::string::npos) throw std::runtime_error("no " + std::string(key) + " string in " + plist.string());
    if (value) {
        const auto start = open + std::string_view("<string>").size();
        text.replace(start, close - start, *value);
    } else {
        // Whole lines, from the key's to the value's.
        const auto line_start = text.rfind('\n', key_at) + 1;
        const auto line_end = text.find('\n', close);
        text.erase(line_start, (line_end == std::string::npos ? text.size() : line_end + 1) - line_start);
    }
    std::ofstream(plist) << text;
}

class UpdateSite : public ::testing::Test {
protected:
    struct Options {
        std::string bundle_version = "1.0";
        std::vector<std::string> extra;
    };

    fs::path bundle(const Options& o, const std::string& name = "Probe") {
        BundleRecipe recipe;
        recipe.name = name;
        // The tool refuses an empty version; an Info.plist edited by hand can still hold one.
        const std::string packed_version = o.bundle_version.empty() ? "0.0.1-packed" : o.bundle_version;
        recipe.extra = {"--with-updater", "--feed-url", server_.url("/updates/appcast.xml"), "--bundle-version",
                        packed_version};
        recipe.extra.insert(recipe.extra.end(), o.extra.begin(), o.extra.end());
        const fs::path executable = make_bundle(dir_.path(), recipe);
        if (o.bundle_version.empty()) edit_info_plist(executable, kestrova::info_keys::bundle_version, "");
        return executable;
    }

    ProcessResult run(const fs::path& executable, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        ProcessOptions options;
        options.env["KESTROVA_UPDATE_LOG"] = log_.string();
        options.env["XDG_STATE_HOME"] = state_.string();
        options.timeout = timeout;
        return launch(executable, args, options);
    }

    void set_last_check(const std::string& bundle_id, double when) {
        fs::create_directories(state_ / "kestrova-updater");
        std::ofstream(state_ / "kestrova-updater" / (bundle_id + ".last-check")) << std::to_string(when);
    }

    HttpServer server_;
    TempDir dir_;
    fs::path log_ = dir_.path() / "update.log";
    fs::path state_ = dir_.path() / "state";
};

// --- The updater's schedule and checks -------------------------------------------------------------

TEST_F(UpdateSite, RecentCheckSchedulesTheNextAndTellsTheDelegateTheDelay) {
    set_last_check("app.kestrova.probe", absolute_now() + 1000);  // in the future: counts as now
    const auto executable = bundle({.extra = {"--automatic-checks", "--check-interval", "7200"}});
    const auto r = run(executable, {"--wait-log", "Will schedule update check after delay 02:00:00"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_),
              (std::vector<std::string>{registering, starting, "Will schedule update check after delay 02:00:00"}));
    EXPECT_EQ(server_.request_count("/updates/appcast.xml"), 0u);
}

TEST_F(UpdateSite, OverdueCheckLoadsTheFeedAndShowsOnlyANewerVersion) {
    struct Case {
        std::vector<std::string> feed;
        bool shown;
    };
    for (const auto& c : {Case{{"1.0", "0.9"}, false}, Case{{"1.1", "1.2", "1.2", "0.5"}, true}}) {
        fs::remove_all(state_);
        fs::remove(log_);
        server_.route("/updates/appcast.xml", HttpResponse::text(200, appcast(c.feed), "application/rss+xml"));
        const auto executable = bundle({.extra = {"--automatic-checks", "--check-interval", "3600", "--force"}});
        const auto r = run(executable, {"--wait-log", "Will schedule update check after delay 01:00:00"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(update_log_records(log_),
                  (std::vector<std::string>{registering, starting, finished_loading,
                                            "Will schedule update check after delay 01:00:00"}));
        // A scheduled check tells the user only of a newer version; with no display the alert
        // goes to standard error.
        EXPECT_EQ(r.err.find("1.2 is now available") != std::string::npos, c.shown) << r.err;
    }
}

TEST_F(UpdateSite, FeedsThatDoNotParseNeverReachTheDelegate) {
    const std::string billion_laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
        "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
        "<rss version=\"2.0\"><channel><title>&lol3;</title></channel></rss>";
    const std::string external_entity =
        "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<rss version=\"2.0\"><channel><title>&x;</title></channel></rss>";
    const std::string item_without_version =
        "<rss version=\"2.0\"><channel><item><title>new</title></item></channel></rss>";
    const HttpResponse responses[] = {
        HttpResponse::text(404, "missing"),
        HttpResponse::text(500, "broken"),
        HttpResponse::text(200, "<rss><channel><item>"),
        HttpResponse::text(200, item_without_version),
        HttpResponse::text(200, billion_laughs),
        HttpResponse::text(200, external_entity),
    };
    for (const auto& response : responses) {
        fs::remove_all(state_);
        fs::remove(log_);
        server_.route("/updates/appcast.xml", response);
        const auto executable = bundle({.extra = {"--automatic-checks", "--force"}});
        const auto r = run(executable, {"--wait-log", "Will schedule update check after delay 24:00:00"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(update_log_records(log_),
                  (std::vector<std::string>{registering, starting, "Will schedule update check after delay 24:00:00"}))
            << response.body;
        EXPECT_EQ(r.err.find("root:"), std::string::npos) << "an external entity was read";
    }
}

// --- The launch gate -------------------------------------------------------------------------------

struct GateCase {
    const char* name;
    std::string bundle_version;
    HttpResponse metadata;
    std::vector<std::string> gate_records;  // between "Registering..." and "Starting Sparkle."
    std::size_t requests = 1;               // one request, and no second try
};

std::ostream& operator<<(std::ostream& os, const GateCase& c) { return os << c.name; }

class GatePasses : public UpdateSite, public ::testing::WithParamInterface<GateCase> {};

TEST_P(GatePasses, LogsWhyAndStartsTheApplication) {
    const GateCase& c = GetParam();
    server_.route("/updates/metadata.properties", c.metadata);
    const auto executable = bundle({.bundle_version = c.bundle_version, .extra = {"--aggressive-updates"}});
    const auto r = run(executable, {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true");
    std::vector<std::string> expected = {registering, "Version from bundle: " + c.bundle_version};
    expected.insert(expected.end(), c.gate_records.begin(), c.gate_records.end());
    expected.push_back(starting);
    EXPECT_EQ(update_log_records(log_), expected);
    EXPECT_EQ(server_.request_count("/updates/metadata.properties"), c.requests);
}

HttpResponse metadata(const std::string& body) { return HttpResponse::text(200, body); }

INSTANTIATE_TEST_SUITE_P(
    UpdateSite, GatePasses,
    ::testing::Values(
        GateCase{"NotFound",
                 "1.0",
                 HttpResponse::text(404, "no"),
                 {"Download metadata.properties failed: The requested resource was not found on this server."}},
        GateCase{"ServiceUnavailable",
                 "1.0",
                 HttpResponse::text(503, "busy"),
                 {"Download metadata.properties failed: The server returned a bad response."}},
        GateCase{"NotModified",
                 "1.0",
                 HttpResponse::text(304, ""),
                 {"Download metadata.properties failed: The URL is not valid."}},
        GateCase{"Forbidden",
                 "1.0",
                 HttpResponse::text(403, "no"),
                 {"Download metadata.properties failed: The URL is not valid."}},
        GateCase{"RedirectLoop",
                 "1.0",
                 HttpResponse::redirect("/updates/metadata.properties"),
                 {"Download metadata.properties failed: Too many HTTP redirects."},
                 11},  // the first request and ten redirects
        GateCase{"EndlessBody",
                 "1.0",
                 HttpResponse::endless_body(),
                 {"Download metadata.properties failed: The resource exceeds the maximum size."}},
        GateCase{"EmptyBundleVersionIsPresent",
                 "",
                 HttpResponse::text(404, "no"),
                 {"Download metadata.properties failed: The requested resource was not found on this server."}},
        GateCase{"NotUtf8", "1.0", metadata("app.version=2\xff\napp.revision=1\n"), {not_found_in_metadata}},
        GateCase{"MissingRevision", "1.0", metadata("app.version=2.0\n"), {not_found_in_metadata}},
        GateCase{"MegabytesOfLines",
                 "1.0",
                 metadata(std::string(900000, '\n') + "app.version=9\n"),
                 {not_found_in_metadata}},
        GateCase{"EqualVersions",
                 "2.0.7",
                 metadata("app.version = 2.0\r\napp.revision=7\r\n"),
                 {"Version from metadata: 2.0.7"}},
        GateCase{"OlderSite", "2.0.7", metadata("app.revision=9\napp.version=1.9\n"), {"Version from metadata: 1.9.9"}},
        GateCase{"EmptyRevisionIsPresent",
                 "2.0.7",
                 metadata("app.version=2.0\napp.revision=\n"),
                 {"Version from metadata: 2.0."}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(UpdateSite, GateWithoutABundleVersionPassesWithoutARequest) {
    const auto executable = bundle({.extra = {"--aggressive-updates"}});
    edit_info_plist(executable, kestrova::info_keys::bundle_version, std::nullopt);
    const auto r = run(executable, {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_),
              (std::vector<std::string>{registering,
                                        "Could not find key 'CFBundleVersion' in the Info.plist file in the package.",
                                        starting}));
    EXPECT_EQ(server_.requests().size(), 0u);
}

// A hand-edited Info.plist with an empty CFBundleVersion: the updater cannot act on it, so a newer
// site must not hold the launch (nothing would ever end the hold with an update).
TEST_F(UpdateSite, GateStartsABundleWithAnEmptyVersionWhateverTheSiteAnnounces) {
    server_.route("/updates/metadata.properties", metadata("app.version=2.0\napp.revision=1\n"));
    server_.route("/updates/appcast.xml", HttpResponse::text(200, appcast({"2.0.1"})));
    const auto r = run(bundle({.bundle_version = "", .extra = {"--aggressive-updates"}}), {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true") << "the launch was held: " << r.err;
    const auto records = update_log_records(log_);
    EXPECT_EQ(std::count(records.begin(), records.end(), forcing), 0);
    EXPECT_EQ(records.back(), starting);
}

TEST_F(UpdateSite, GateWithoutASlashInTheFeedAddressPasses) {
    BundleRecipe recipe;
    recipe.extra = {"--with-updater", "--feed-url", "appcast.xml", "--aggressive-updates"};
    const auto r = run(make_bundle(dir_.path(), recipe), {"--wait-log", starting});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(update_log_records(log_), (std::vector<std::string>{registering, "Version from bundle: 1.0",
                                                                  "Malformed SUFeedURL: No '/'' found.", starting}));
}

TEST_F(UpdateSite, NewerSiteHoldsTheLaunchForAnUpdateCheckInstead) {
    server_.route("/updates/metadata.properties", metadata("app.version=2.0\napp.revision=1\n"));
    server_.route("/updates/appcast.xml", HttpResponse::text(200, appcast({"2.0.1"})));
    const auto executable = bundle({.bundle_version = "1.0.5", .extra = {"--aggressive-updates"}});
    const auto r = run(executable, {});
    // Without a display the dialog goes to standard error and counts as dismissed at once.
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("args.length"), std::string::npos) << "the JVM started: " << r.out;
    EXPECT_EQ(update_log_records(log_),
              (std::vector<std::string>{registering, "Version from bundle: 1.0.5", "Version from metadata: 2.0.1",
                                        forcing, starting, finished_loading}));
    EXPECT_NE(r.err.find("2.0.1 is now available"), std::string::npos) << r.err;
}

// metadata.properties announces a newer version, but the feed offers nothing to install: the hold
// was for nothing, so once the check has shown its answer the application starts as after a pass.
struct EmptyHoldCase {
    const char* name;
    std::optional<HttpResponse> feed;  // none: nothing is served at the feed's address
    std::string result;                // the updater's record of what the check found
};

std::ostream& operator<<(std::ostream& os, const EmptyHoldCase& c) { return os << c.name; }

class HoldsForNothing : public UpdateSite, public ::testing::WithParamInterface<EmptyHoldCase> {};

constexpr const char* hold_passes = "The update check found no newer version to install, so the application starts.";

TEST_P(HoldsForNothing, StartTheApplicationAndLogWhy) {
    const EmptyHoldCase& c = GetParam();
    server_.route("/updates/metadata.properties", metadata("app.version=2.0\napp.revision=1\n"));
    if (c.feed) server_.route("/updates/appcast.xml", *c.feed);
    const auto r = run(bundle({.bundle_version = "1.0.5", .extra = {"--aggressive-updates"}}), {"one", "two"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "args.length"), "2") << "the application did not start: " << r.err;
    EXPECT_EQ(value_of(r.out, "main.returned"), "true") << r.err;
    const auto records = update_log_records(log_);
    EXPECT_EQ(std::count(records.begin(), records.end(), hold_passes), 1);
    const auto forced = std::find(records.begin(), records.end(), forcing);
    const auto passed = std::find(records.begin(), records.end(), hold_passes);
    EXPECT_LT(forced, passed);
    // The updater is started once, by the hold.
    EXPECT_EQ(std::count(records.begin(), records.end(), starting), 1);
    const auto updater = update_log_records(log_, "updater");
    EXPECT_EQ(std::count(updater.begin(), updater.end(), c.result), 1) << r.err;
    EXPECT_EQ(server_.request_count("/updates/appcast.xml"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateSite, HoldsForNothing,
    ::testing::Values(EmptyHoldCase{"FeedNotFound", std::nullopt, "Result: check failed"},
                      EmptyHoldCase{"FeedUnavailable", HttpResponse::text(503, "busy"), "Result: check failed"},
                      EmptyHoldCase{"FeedMalformed", HttpResponse::text(200, "<rss><channel><item>"),
                                    "Result: check failed"},
                      EmptyHoldCase{"FeedNotAheadOfTheBundle", HttpResponse::text(200, appcast({"1.0.5", "0.9"})),
                                    "Result: up to date (bundle 1.0.5, newest 1.0.5)"},
                      EmptyHoldCase{"FeedWithoutItems", HttpResponse::text(200, appcast({})),
                                    "Result: up to date (bundle 1.0.5, newest none)"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace kestrova::testing
