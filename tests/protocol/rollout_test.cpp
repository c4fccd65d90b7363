// Who is offered which item: phased rollout groups, critical updates and channels, through the item
// picker the updater uses; the pubDate reader; the user's random number; and release notes as the
// dialog shows them.
#include "protocol/rollout.h"
#include "protocol/appcast.h"
#include "protocol/release_notes.h"
#include "protocol/version_comparator.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kestrova::protocol {
namespace {

constexpr std::int64_t published = 1'800'000'000;  // Fri, 15 Jan 2027 08:00:00 +0000
constexpr std::int64_t hour = 3600;

// A feed: 1.0 for everyone, 2.0 rolled out one group an hour from `published` (critical when
// asked), 2.1b1 on the beta channel and 2.2n on the nightly one.
std::string feed(bool critical, std::string_view critical_below = {}) {
    std::string critical_element;
    if (critical)
        critical_element = critical_below.empty()
                               ? "<sparkle:criticalUpdate/>"
                               : "<sparkle:criticalUpdate sparkle:version=\"" + std::string(critical_below) + "\"/>";
    return R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><sparkle:version>1.0</sparkle:version></item>
<item><sparkle:version>2.0</sparkle:version><pubDate>Fri, 15 Jan 2027 08:00:00 +0000</pubDate>
  <sparkle:phasedRolloutInterval>3600</sparkle:phasedRolloutInterval>)" +
           critical_element + R"(</item>
<item><sparkle:version>2.1b1</sparkle:version><sparkle:channel>beta</sparkle:channel></item>
<item><sparkle:version>2.2n</sparkle:version><sparkle:channel>nightly</sparkle:channel></item>
</channel></rss>)";
}

struct PickCase {
    const char* name;
    std::optional<int> group;  // nothing: a check the user asked for
    std::int64_t since_published;
    std::vector<std::string> channels;
    bool critical;
    const char* critical_below;  // "" for every version
    const char* installed;
    const char* offered;  // the picker's choice
    const char* not_due;  // what it left out for the group, "" for nothing
};

class PickerTest : public ::testing::TestWithParam<PickCase> {};

TEST_P(PickerTest, OffersWhatTheAudienceMayHave) {
    const PickCase& c = GetParam();
    ItemAudience audience;
    audience.rollout_group = c.group;
    audience.now = published + c.since_published;
    audience.channels = c.channels;
    audience.installed_version = c.installed;
    const AppcastChoice choice = choose_from_appcast(feed(c.critical, c.critical_below), audience);
    ASSERT_TRUE(choice.best);
    EXPECT_EQ(choice.best->version, c.offered);
    EXPECT_EQ(choice.newest_not_due.value_or(""), c.not_due);
    // The kept feed gives the same choice.
    const Appcast parsed = parse_appcast(feed(c.critical, c.critical_below));
    ASSERT_NE(best_item(parsed, audience), nullptr);
    EXPECT_EQ(best_item(parsed, audience)->version, c.offered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PickerTest,
    ::testing::Values(
        // Group g is let in g intervals after the pubDate, never a second before.
        PickCase{"GroupZeroAtOnce", 0, 0, {}, false, "", "1.0", "2.0", ""},
        PickCase{"GroupZeroNotBeforeThePubDate", 0, -1, {}, false, "", "1.0", "1.0", "2.0"},
        PickCase{"GroupThreeBeforeItsTurn", 3, 3 * hour - 1, {}, false, "", "1.0", "1.0", "2.0"},
        PickCase{"GroupThreeAtItsTurn", 3, 3 * hour, {}, false, "", "1.0", "2.0", ""},
        PickCase{"LastGroupWaitsSixIntervals", 6, 6 * hour - 1, {}, false, "", "1.0", "1.0", "2.0"},
        PickCase{"LastGroupAfterSixIntervals", 6, 6 * hour, {}, false, "", "1.0", "2.0", ""},
        // A check the user asks for, and a critical update, wait for no group.
        PickCase{"UserCheckSkipsTheWait", std::nullopt, 0, {}, false, "", "1.0", "2.0", ""},
        PickCase{"CriticalSkipsTheWait", 6, 0, {}, true, "", "1.0", "2.0", ""},
        PickCase{"CriticalBelowAVersionForOlderCopies", 6, 0, {}, true, "1.5", "1.0", "2.0", ""},
        PickCase{"CriticalBelowAVersionNotForNewerCopies", 6, 0, {}, true, "1.5", "1.6", "1.0", "2.0"},
        // Channel items go to their followers only, and the default channel's to everyone.
        PickCase{"BetaFollowerGetsBeta", std::nullopt, 0, {"beta"}, false, "", "1.0", "2.1b1", ""},
        PickCase{"BothChannelsGiveTheNewest", std::nullopt, 0, {"beta", "nightly"}, false, "", "1.0", "2.2n", ""},
        PickCase{"OtherChannelIsNeverSeen", std::nullopt, 0, {"stable"}, false, "", "1.0", "2.0", ""},
        PickCase{"ChannelNamesAreExact", std::nullopt, 0, {"Beta"}, false, "", "1.0", "2.0", ""},
        PickCase{"FollowerStillWaitsForTheDefaultsGroup", 6, 0, {"beta"}, false, "", "1.0", "2.1b1", "2.0"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Off the beta channel, the newest item left is older than the beta the user runs: the version
// order keeps it from being offered, so nobody is moved back.
TEST(ChannelTest, LeavingAChannelNeverOffersAnOlderVersion) {
    ItemAudience audience;
    audience.installed_version = "2.1b1";
    const AppcastChoice choice = choose_from_appcast(feed(false), audience);
    ASSERT_TRUE(choice.best);
    EXPECT_EQ(choice.best->version, "2.0");
    EXPECT_NE(compare_versions(audience.installed_version, choice.best->version), Ordering::ascending);
}

// Each group holds a seventh of 100,000 users drawn from the random numbers users keep, within
// half a point: a mapping that favoured some groups (a modulus of 6 or 8, a narrowing that drops
// high bits) would miss it by far more.
TEST(RolloutGroupTest, OneHundredThousandUsersSpreadEvenly) {
    std::mt19937_64 generator(20261209);
    std::array<int, rollout_groups> counts{};
    constexpr int users = 100'000;
    for (int i = 0; i < users; ++i) {
        const int group = rollout_group_of(generator());
        ASSERT_GE(group, 0);
        ASSERT_LT(group, rollout_groups);
        ++counts[static_cast<std::size_t>(group)];
    }
    for (int group = 0; group < rollout_groups; ++group) {
        const double share = 100.0 * counts[static_cast<std::size_t>(group)] / users;
        EXPECT_NEAR(share, 100.0 / rollout_groups, 0.5) << "group " << group;
    }
}

TEST(RolloutGroupTest, AHostileIntervalNeitherOverflowsNorLetsEveryoneIn) {
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(rollout_group_is_due(0, huge, 6, huge));
    EXPECT_TRUE(rollout_group_is_due(0, huge, 0, 0));
    EXPECT_FALSE(rollout_group_is_due(huge, 1, 0, 0));
}

struct DateCase {
    const char* text;
    std::optional<std::int64_t> seconds;
};

class PubDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(PubDateTest, ReadsAsRfc822) { EXPECT_EQ(parse_rfc822_date(GetParam().text), GetParam().seconds); }

INSTANTIATE_TEST_SUITE_P(
    Table, PubDateTest,
    ::testing::Values(
        DateCase{"Fri, 15 Jan 2027 08:00:00 +0000", published}, DateCase{"15 Jan 2027 08:00:00 GMT", published},
        DateCase{"Fri, 15 jan 2027 09:30 +0130", published}, DateCase{"Fri, 15 Jan 2027 03:00:00 EST", published},
        DateCase{"Fri, 15 Jan 27 08:00:00 Z", published}, DateCase{"Thu, 29 Feb 2024 00:00:00 +0000", 1709164800},
        DateCase{"Thu, 01 Jan 1970 00:00:00 +0000", 0}, DateCase{"Fri, 29 Feb 2027 08:00:00 +0000", std::nullopt},
        DateCase{"Fri, 15 Jan 2027 24:00:00 +0000", std::nullopt},
        DateCase{"Fri, 15 Jan 2027 08:00:00 +2500", std::nullopt}, DateCase{"Fri, 15 Jan 2027 08:00:00", std::nullopt},
        DateCase{"2027-01-15T08:00:00Z", std::nullopt}, DateCase{"Fri, 15 Janu 2027 08:00:00 +0000", std::nullopt},
        DateCase{"", std::nullopt}));

TEST(RolloutNumberTest, IsDrawnOnceAndKeptForTheUser) {
    const kestrova::testing::TempDir state;
    const auto file = rollout_number_file(state.path(), "app.example.test");
    ASSERT_TRUE(file);
    const RolloutNumber first = user_rollout_number(file);
    EXPECT_TRUE(first.kept);
    EXPECT_EQ(user_rollout_number(file).value, first.value);
    EXPECT_EQ((std::filesystem::status(*file).permissions() & std::filesystem::perms::others_read),
              std::filesystem::perms::none);
    // Nowhere to keep it: a number all the same, said to be this call's own.
    EXPECT_FALSE(user_rollout_number(std::nullopt).kept);
    EXPECT_FALSE(rollout_number_file(state.path(), "../x"));
}

struct NotesCase {
    const char* name;
    std::string notes;
    std::optional<std::string> text;
};

class ReleaseNotesTest : public ::testing::TestWithParam<NotesCase> {};

TEST_P(ReleaseNotesTest, AreShownAsPlainText) { EXPECT_EQ(release_notes_text(GetParam().notes), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, ReleaseNotesTest,
    ::testing::Values(
        NotesCase{"PlainTextKeepsItsLines", "  Fixes:\n- a < b & c\n\n\n\nDone  ", "Fixes:\n- a < b & c\n\nDone"},
        NotesCase{"TagsGoEntitiesAreDecoded",
                  "<h2>What&rsquo;s new</h2><p>Faster <b>starts</b> &amp; fewer&nbsp;bugs.</p>"
                  "<ul><li>one</li><li>two &#x2713; &#233;</li></ul>",
                  "What\u2019s new\n\nFaster starts & fewer bugs.\n\n\u2022 one\n\u2022 two \u2713 \u00e9"},
        NotesCase{"ScriptStyleAndCommentsSayNothing",
                  "<html><head><title>x</title><style>p{}</style></head><body><script>alert('<p>')</script>"
                  "<!-- <p>hidden</p> -->Shown<SCRIPT>x</SCRIPT></body></html>",
                  "Shown"},
        NotesCase{"LinksAndImagesShowOnlyTheirText",
                  "<p>See <a href=\"javascript:evil()\" onclick=\"x\">the page</a><img src=x onerror=y></p>",
                  "See the page"},
        NotesCase{"UnknownEntitiesStayAsWritten", "<p>&bogus; &#xD800; &#0;</p>", "&bogus; \ufffd \ufffd"},
        NotesCase{"ControlCharactersAreDropped", "a\x1b[31mred\x07", "a[31mred"},
        NotesCase{"NoWordsIsNoNotes", "<p> </p><br>", std::nullopt},
        NotesCase{"NotUtf8IsNoNotes", "caf\xe9", std::nullopt},
        NotesCase{"ATagCutOffEndsTheText", "<p>kept</p><a href=\"", "kept"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ReleaseNotesTest, LongNotesAreCutAtAWholeCharacterAndSaySo) {
    const std::string notes = std::string(10, 'a') + "\u00e9\u00e9\u00e9";
    const auto text = release_notes_text(notes, 15);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, std::string(10, 'a') + "\n\u2026");
}

}  // namespace
}  // namespace kestrova::protocol
