// The update gate's pure logic: the metadata file's address, reading the file, and the version it
// announces. One line per case; names say what each case is about.
#include "protocol/metadata.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova {
namespace {

using namespace std::string_view_literals;

// --- The metadata file's address ------------------------------------------------------------------

struct UrlCase {
    const char* name;
    std::string_view feed;
    std::optional<std::string_view> expected;
};

void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.name; }

class MetadataUrl : public testing::TestWithParam<UrlCase> {};

TEST_P(MetadataUrl, ReplacesWhatFollowsTheLastSlash) {
    const UrlCase& c = GetParam();
    const std::optional<std::string> url = protocol::metadata_url_for_feed(c.feed);
    if (c.expected) {
        ASSERT_TRUE(url.has_value());
        EXPECT_EQ(*url, *c.expected);
    } else {
        EXPECT_EQ(url, std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataUrl,
    testing::Values(UrlCase{"TrailingSlash", "https://x/y/", "https://x/y/metadata.properties"},
                    UrlCase{"FileName", "https://x/y/appcast.xml", "https://x/y/metadata.properties"},
                    UrlCase{"SchemeAndHostOnly", "https://host", "https://metadata.properties"},
                    UrlCase{"HostWithTrailingSlash", "https://host/", "https://host/metadata.properties"},
                    UrlCase{"DeepPath", "https://example.com/a/b/c/feed.xml",
                            "https://example.com/a/b/c/metadata.properties"},
                    // Purely textual: a query is not special, so a "/" inside it is the last "/".
                    UrlCase{"QueryWithoutSlash", "https://x/y/appcast.xml?beta=1", "https://x/y/metadata.properties"},
                    UrlCase{"QueryWithSlash", "https://x/feed?from=a/b", "https://x/feed?from=a/metadata.properties"},
                    UrlCase{"FileScheme", "file:///srv/updates/appcast.xml", "file:///srv/updates/metadata.properties"},
                    UrlCase{"SlashOnly", "/", "/metadata.properties"},
                    UrlCase{"NoSlashAtAll", "appcast.xml", std::nullopt},
                    UrlCase{"SchemeWithoutSlashes", "mailto:someone@example.com", std::nullopt},
                    UrlCase{"Empty", "", std::nullopt}),
    [](const testing::TestParamInfo<UrlCase>& param_info) { return std::string(param_info.param.name); });

// --- Reading the metadata file ----------------------------------------------------------------------

using Entries = std::vector<std::pair<std::string_view, std::string_view>>;

struct ParseCase {
    const char* name;
    std::string_view text;
    Entries expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class MetadataParsing : public testing::TestWithParam<ParseCase> {};

TEST_P(MetadataParsing, GivesTheExpectedEntries) {
    const ParseCase& c = GetParam();
    protocol::Metadata expected;
    for (const auto& [key, value] : c.expected) expected.emplace(key, value);
    EXPECT_EQ(protocol::parse_metadata(c.text), expected);
}

// Abbreviations for the encoded white space used below.
#define NBSP "\xC2\xA0"         // U+00A0 NO-BREAK SPACE
#define NEL "\xC2\x85"          // U+0085 NEXT LINE
#define IDEO "\xE3\x80\x80"     // U+3000 IDEOGRAPHIC SPACE
#define HAIR "\xE2\x80\x8A"     // U+200A HAIR SPACE, the last of U+2000-U+200A
#define EN_QUAD "\xE2\x80\x80"  // U+2000 EN QUAD, the first
#define LSEP "\xE2\x80\xA8"     // U+2028 LINE SEPARATOR
#define NNBSP "\xE2\x80\xAF"    // U+202F NARROW NO-BREAK SPACE
#define MMSP "\xE2\x81\x9F"     // U+205F MEDIUM MATHEMATICAL SPACE
#define OGHAM "\xE1\x9A\x80"    // U+1680 OGHAM SPACE MARK
#define ZWSP "\xE2\x80\x8B"     // U+200B ZERO WIDTH SPACE: a format character, not white space
#define BOM "\xEF\xBB\xBF"      // U+FEFF: not white space either

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataParsing,
    testing::Values(
        ParseCase{"Typical", "app.version=1.2\napp.revision=34\n", {{"app.version", "1.2"}, {"app.revision", "34"}}},
        ParseCase{"NoFinalLineEnd", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"CrLfLineEnds", "a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"BlanksAroundEquals", "  app.version  =  1.2  \n\tb\t=\tx\t", {{"app.version", "1.2"}, {"b", "x"}}},
        ParseCase{"InnerBlanksStay", "name = My  App \n", {{"name", "My  App"}}},
        ParseCase{"DigitsOnly", "1=2", {{"1", "2"}}}, ParseCase{"EmptyValue", "a=\nb =  \r\n", {{"a", ""}, {"b", ""}}},
        ParseCase{"EmptyKey", "=v\n  =w", {{"", "w"}}}, ParseCase{"EqualsOnly", "=", {{"", ""}}},
        ParseCase{"SecondEqualsEndsTheValue", "a=b=c\nd = e = f", {{"a", "b"}, {"d", "e"}}},
        ParseCase{"EqualsRightAfterEquals", "a==c", {{"a", ""}}},
        ParseCase{"DuplicateKeyLastWins", "a=1\nb=x\na=2\n a = 3 \n", {{"a", "3"}, {"b", "x"}}},
        ParseCase{"KeysDifferInCase", "A=1\na=2", {{"A", "1"}, {"a", "2"}}},
        ParseCase{"LinesWithoutEqualsIgnored", "just text\n\n\r\n   \nkey: value\na=1", {{"a", "1"}}},
        ParseCase{"HashLineIsAnEntry", "#a=b\n# c = d \n# no equals", {{"#a", "b"}, {"# c", "d"}}},
        ParseCase{"BackslashIsNotAnEscape", "a=b\\\nc=d\\=e", {{"a", "b\\"}, {"c", "d\\"}}},
        ParseCase{"QuotesAreKept", "a=\"b c\"", {{"a", "\"b c\""}}},
        // A lone CR is white space, not a line end: the piece runs on to the next "\n".
        ParseCase{"LoneCrDoesNotSplit", "a=b\rc=d\ne=f", {{"a", "b\rc"}, {"e", "f"}}},
        ParseCase{"OtherAsciiWhiteSpace", "\v\fa\v=\f1\r", {{"a", "1"}}},
        ParseCase{"NoBreakSpace", NBSP "key" NBSP "=" NBSP "value" NBSP, {{"key", "value"}}},
        ParseCase{"IdeographicSpace", IDEO "key" IDEO "=" IDEO IDEO "value" IDEO, {{"key", "value"}}},
        ParseCase{"NextLine", NEL "k" NEL "=" NEL "v" NEL, {{"k", "v"}}},
        ParseCase{"GeneralPunctuationSpaces", EN_QUAD HAIR "k" NNBSP "=" MMSP "v" LSEP OGHAM, {{"k", "v"}}},
        ParseCase{"InnerUnicodeSpaceStays", "k=a" NBSP "b", {{"k", "a" NBSP "b"}}},
        ParseCase{"ZeroWidthSpaceIsNotTrimmed", "k=" ZWSP "v" ZWSP, {{"k", ZWSP "v" ZWSP}}},
        ParseCase{"ByteOrderMarkIsNotTrimmed", BOM "app.version=1", {{BOM "app.version", "1"}}},
        // Characters whose last byte equals the single byte of U+0085 or U+00A0 stay whole.
        ParseCase{"MultibyteCharactersStayWhole",
                  "k\xC5\x85=\xC3\xA0\n\xC3\xA0=\xE2\x82\xAC \xC5\x85",  // U+0145, U+00E0, U+20AC
                  {{"k\xC5\x85", "\xC3\xA0"}, {"\xC3\xA0", "\xE2\x82\xAC \xC5\x85"}}},
        ParseCase{"MalformedBytesKeptAndNotTrimmed", "k=\xA0\x85 \n\xFF=1", {{"k", "\xA0\x85"}, {"\xFF", "1"}}},
        ParseCase{"NulIsAnOrdinaryCharacter", "k=a\0b"sv, {{"k", "a\0b"sv}}}, ParseCase{"EmptyText", "", {}},
        ParseCase{"OnlyLineEnds", "\n\n\r\n", {}}),
    [](const testing::TestParamInfo<ParseCase>& param_info) { return std::string(param_info.param.name); });

TEST(MetadataParsingWithoutText, GivesNoEntries) { EXPECT_TRUE(protocol::parse_metadata(std::nullopt).empty()); }

// Large inputs stay linear: each of these would take minutes or hours with a quadratic split or trim
// (erasing from the front, rescanning the rest of the text for each line), and well under a second
// without.
class MetadataParsingAtScale : public testing::Test {
protected:
    static constexpr std::size_t megabytes = 4;
    static constexpr auto time_limit = std::chrono::seconds(5);

    template <typename Check>
    void parse_within_limit(const std::string& text, Check check) {
        const auto start = std::chrono::steady_clock::now();
        const protocol::Metadata metadata = protocol::parse_metadata(text);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, time_limit) << text.size() << " bytes";
        check(metadata);
    }
};

TEST_F(MetadataParsingAtScale, ManyDistinctLines) {
    std::string text;
    std::size_t lines = 0;
    while (text.size() < megabytes << 20) {
        text += "key" + std::to_string(lines) + " = value" + std::to_string(lines) + "\r\n";
        ++lines;
    }
    parse_within_limit(text, [&](const protocol::Metadata& m) {
        EXPECT_EQ(m.size(), lines);
        EXPECT_EQ(m.at("key0"), "value0");
        EXPECT_EQ(m.at("key" + std::to_string(lines - 1)), "value" + std::to_string(lines - 1));
    });
}

TEST_F(MetadataParsingAtScale, OneKeyRepeated) {
    std::string text;
    std::size_t lines = 0;
    while (text.size() < megabytes << 20) {
        text += "app.revision=" + std::to_string(lines++) + "\n";
    }
    parse_within_limit(text, [&](const protocol::Metadata& m) {
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m.at("app.revision"), std::to_string(lines - 1));
    });
}

TEST_F(MetadataParsingAtScale, LongRunsOfWhiteSpaceAroundOneEntry) {
    const std::string spaces((megabytes << 20) / 4, ' ');
    std::string ideographic;
    for (std::size_t i = 0; i < (megabytes << 20) / 12; ++i) ideographic += IDEO;
    const std::string text = spaces + ideographic + "k" + spaces + "=" + ideographic + "v" + ideographic + spaces;
    parse_within_limit(text, [](const protocol::Metadata& m) { EXPECT_EQ(m, (protocol::Metadata{{"k", "v"}})); });
}

TEST_F(MetadataParsingAtScale, LongLineOfEqualsAndEmptyLines) {
    const std::string text = "a=" + std::string((megabytes << 20) / 2, '=') + std::string((megabytes << 20) / 2, '\n');
    parse_within_limit(text, [](const protocol::Metadata& m) { EXPECT_EQ(m, (protocol::Metadata{{"a", ""}})); });
}

// --- The version the metadata announces --------------------------------------------------------------

struct VersionCase {
    const char* name;
    std::string_view text;
    std::optional<std::string_view> expected;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class MetadataVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(MetadataVersion, JoinsVersionAndRevision) {
    const VersionCase& c = GetParam();
    const std::optional<std::string> version = protocol::metadata_version(protocol::parse_metadata(c.text));
    if (c.expected) {
        ASSERT_TRUE(version.has_value());
        EXPECT_EQ(*version, *c.expected);
    } else {
        EXPECT_EQ(version, std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataVersion,
    testing::Values(VersionCase{"Both", "app.version=1.2\napp.revision=34", "1.2.34"},
                    VersionCase{"OrderDoesNotMatter", "app.revision = 7\r\napp.version = 2.0\r\n", "2.0.7"},
                    VersionCase{"OtherKeysIgnored", "app.name=X\napp.version=3\napp.revision=1\nbuild=9", "3.1"},
                    VersionCase{"EmptyRevisionIsPresent", "app.version=1.2\napp.revision=", "1.2."},
                    VersionCase{"BothEmpty", "app.version=\napp.revision=", "."},
                    VersionCase{"LastDuplicateCounts", "app.version=1\napp.version=2\napp.revision=0", "2.0"},
                    VersionCase{"RevisionMissing", "app.version=1.2", std::nullopt},
                    VersionCase{"VersionMissing", "app.revision=34", std::nullopt},
                    VersionCase{"KeysAreCaseSensitive", "App.Version=1\napp.revision=2", std::nullopt},
                    VersionCase{"NoEntries", "no equals sign anywhere", std::nullopt}),
    [](const testing::TestParamInfo<VersionCase>& param_info) { return std::string(param_info.param.name); });

TEST(MetadataVersionWithoutText, IsNothing) {
    EXPECT_EQ(protocol::metadata_version(protocol::parse_metadata(std::nullopt)), std::nullopt);
}

}  // namespace
}  // namespace kestrova
