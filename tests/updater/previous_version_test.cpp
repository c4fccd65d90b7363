// What a start makes of a staging area left beside the bundle, and which versions count as failed.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "updater/previous_version.h"

namespace kestrova::updater {
namespace {

struct KeptCase {
    const char* name;
    std::optional<std::string> record;  // the record's text; nothing when absent
    std::string held;                   // CFBundleVersion of the bundle in the area
    std::string installed;              // CFBundleVersion of the bundle at the application's path
    bool started;
    KeptState expected;
};

class KeptStateOfAnArea : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptStateOfAnArea, IsReadFromTheRecordAndTheBundleItHolds) {
    const auto& c = GetParam();
    const auto record = c.record ? parse_kept_versions(*c.record) : std::nullopt;
    EXPECT_EQ(kept_state(record, c.held, c.installed, c.started), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Areas, KeptStateOfAnArea,
    ::testing::Values(KeptCase{"ExchangedNotYetStarted", "1.0\n1.1\n", "1.0", "1.1", false, KeptState::untried},
                      KeptCase{"ExchangedAndAStartDied", "1.0\n1.1\n", "1.0", "1.1", true, KeptState::died},
                      // A crash before the exchange, or after the exchange back: the area holds the new version.
                      KeptCase{"NotExchanged", "1.0\n1.1\n", "1.1", "1.0", false, KeptState::not_kept},
                      KeptCase{"ExchangedBack", "1.0\n1.1\n", "1.1", "1.0", true, KeptState::not_kept},
                      KeptCase{"NoRecord", std::nullopt, "1.0", "1.1", false, KeptState::not_kept},
                      KeptCase{"RecordCutShort", "1.0\n1.", "1.0", "1.1", false, KeptState::not_kept},
                      KeptCase{"RecordWithAnEmptyVersion", "1.0\n\n", "1.0", "1.1", false, KeptState::not_kept},
                      // The way back: 1.1 failed and is kept while 1.0, put back, has not shown it runs.
                      KeptCase{"WayBack", "1.1\n1.0\nway back\n", "1.1", "1.0", false, KeptState::untried},
                      KeptCase{"UnknownThirdLine", "1.1\n1.0\nsomething\n", "1.1", "1.0", false, KeptState::not_kept},
                      // Another installation took the path since: the record kept nothing for it.
                      KeptCase{"OutlivedByAnotherInstallation", "1.0\n1.1\n", "1.0", "1.2", true, KeptState::not_kept}),
    [](const auto& p) { return std::string(p.param.name); });

struct FailedCase {
    const char* name;
    std::optional<std::string> failed;
    const char* offered;
    bool expected;
};

class FailedVersion : public ::testing::TestWithParam<FailedCase> {};

TEST_P(FailedVersion, HidesItAndOlderOnesButNotANewerOne) {
    const auto& c = GetParam();
    EXPECT_EQ(failed_to_start(c.failed, c.offered), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, FailedVersion,
                         ::testing::Values(FailedCase{"TheFailedOne", "1.1", "1.1", true},
                                           FailedCase{"AnOlderOne", "1.1", "1.0.5", true},
                                           FailedCase{"ANewerOne", "1.1", "1.2", false},
                                           FailedCase{"NoneFailed", std::nullopt, "1.1", false}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrova::updater
