// Reading the update feed and picking the item to offer: real-looking feeds, where the version comes
// from, which items count, and feeds that must be refused.
#include "protocol/appcast.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::protocol {
namespace {

using testing::HasSubstr;

constexpr std::string_view uri = sparkle_namespace_uri;

// A feed around `items`, with the update framework's namespace bound to `prefix`.
std::string feed(std::string_view items, std::string_view prefix = "sparkle") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:" +
           std::string(prefix) + "=\"" + std::string(uri) +
           "\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
           "<channel>\n<title>Demo Changelog</title>\n" +
           std::string(items) + "</channel>\n</rss>\n";
}

// The message parse_appcast refuses `xml` with; fails the test if it accepts it.
std::string refusal(std::string_view xml) {
    try {
        parse_appcast(xml);
    } catch (const AppcastError& e) {
        return e.what();
    }
    ADD_FAILURE() << "accepted: " << xml;
    return {};
}

TEST(Appcast, ReadsARealLookingFeed) {
    const Appcast appcast = parse_appcast(feed(R"(
    <item>
      <title>Version 2.0 (2 bugs fixed; 3 new features)</title>
      <link>https://example.com/demo/</link>
      <sparkle:releaseNotesLink>https://example.com/notes/2.0.html</sparkle:releaseNotesLink>
      <description><![CDATA[<h2>New</h2><p>Faster &amp; smaller</p>]]></description>
      <pubDate>Wed, 09 Jan 2019 19:20:11 +0000</pubDate>
      <sparkle:minimumSystemVersion>10.13</sparkle:minimumSystemVersion>
      <enclosure url="https://example.com/demo/Demo_2.0.zip" sparkle:version="2000"
                 sparkle:shortVersionString="2.0" length="1623481" type="application/octet-stream"
                 sparkle:edSignature="7cLALFUHSwvEJWSkV8aMreoBe4fhRa4FncC5NoThKxwThL6FDR7hTiPJh1fo2uagnPogisnQsgFgq6mGkt2RBw==" />
    </item>
    <item>
      <title>Version 1.5</title>
      <link>https://example.com/demo/</link>
      <enclosure url="https://example.com/demo/Demo_1.5.zip" length="1500000" type="application/zip"/>
    </item>
)"));
    EXPECT_EQ(appcast.title, "Demo Changelog");
    ASSERT_EQ(appcast.items.size(), 2u);

    const AppcastItem& first = appcast.items[0];
    EXPECT_EQ(first.title, "Version 2.0 (2 bugs fixed; 3 new features)");
    EXPECT_EQ(first.link, "https://example.com/demo/");
    EXPECT_EQ(first.description, "<h2>New</h2><p>Faster &amp; smaller</p>");
    EXPECT_EQ(first.pub_date, "Wed, 09 Jan 2019 19:20:11 +0000");
    ASSERT_TRUE(first.enclosure.has_value());
    EXPECT_EQ(first.enclosure->url, "https://example.com/demo/Demo_2.0.zip");
    EXPECT_EQ(first.enclosure->length, 1623481u);
    EXPECT_EQ(first.enclosure->type, "application/octet-stream");
    EXPECT_EQ(first.enclosure->ed_signature,
              "7cLALFUHSwvEJWSkV8aMreoBe4fhRa4FncC5NoThKxwThL6FDR7hTiPJh1fo2uagnPogisnQsgFgq6mGkt2RBw==");
    EXPECT_EQ(first.version, "2000");
    EXPECT_EQ(first.short_version, "2.0");
    EXPECT_EQ(first.os, std::nullopt);
    EXPECT_EQ(first.channel, std::nullopt);

    const AppcastItem& second = appcast.items[1];
    EXPECT_EQ(second.title, "Version 1.5");
    EXPECT_EQ(second.description, std::nullopt);
    EXPECT_EQ(second.pub_date, std::nullopt);
    EXPECT_EQ(second.version, "1.5");  // from the file name
    EXPECT_EQ(second.short_version, std::nullopt);
    EXPECT_EQ(second.enclosure->ed_signature, std::nullopt);
}

// Deltas a client can use have an address, a base version, a length and a signature; only the
// item's first <sparkle:deltas> counts.
TEST(Appcast, KeepsTheDeltasAClientCanUse) {
    const auto appcast = parse_appcast(feed(R"(<item><sparkle:version>1.2</sparkle:version>
        <sparkle:deltas>
          <enclosure url="d11" sparkle:deltaFrom="1.1" length="10" sparkle:edSignature="s"/>
          <enclosure url="d10" sparkle:deltaFrom="1.0" length="x" sparkle:edSignature="s"/>
          <enclosure url="d09" sparkle:deltaFrom="0.9" length="10"/>
          <enclosure url="" sparkle:deltaFrom="0.8" length="10" sparkle:edSignature="s"/>
        </sparkle:deltas>
        <sparkle:deltas><enclosure url="again" sparkle:deltaFrom="0.7" length="1" sparkle:edSignature="s"/></sparkle:deltas>
        <enclosure url="App-1.2.tar.gz" length="100" sparkle:edSignature="full"/></item>)"));
    ASSERT_EQ(appcast.items.size(), 1u);
    ASSERT_TRUE(appcast.items[0].enclosure);
    const auto& deltas = appcast.items[0].enclosure->deltas;
    ASSERT_EQ(deltas.size(), 1u);
    EXPECT_EQ(deltas[0].url, "d11");
    EXPECT_EQ(deltas[0].from_version, "1.1");
    EXPECT_EQ(deltas[0].length, 10u);
    EXPECT_EQ(deltas[0].ed_signature, "s");
    EXPECT_EQ(appcast.items[0].enclosure->url, "App-1.2.tar.gz") << "a delta's enclosure is not the item's";
}

TEST(Appcast, MatchesTheNamespaceByUriNotByPrefix) {
    const std::string item = R"(<item><title>t</title>
        <enclosure url="https://x/App_1.0.zip" sp:version="7" sp:shortVersionString="7.0" sp:os="linux"
                   sp:edSignature="c2ln"/>
        <sp:channel>beta</sp:channel></item>)";
    const Appcast appcast = parse_appcast(feed(item, "sp"));
    ASSERT_EQ(appcast.items.size(), 1u);
    EXPECT_EQ(appcast.items[0].version, "7");
    EXPECT_EQ(appcast.items[0].short_version, "7.0");
    EXPECT_EQ(appcast.items[0].os, "linux");
    EXPECT_EQ(appcast.items[0].channel, "beta");
    EXPECT_EQ(appcast.items[0].enclosure->ed_signature, "c2ln");

    // The usual prefix bound to another namespace is not the update framework's.
    std::string other = feed(R"(<item><enclosure url="https://x/App_1.0.zip" sparkle:version="7" sparkle:os="macos"/>
        <sparkle:channel>beta</sparkle:channel></item>)");
    other.replace(other.find(uri), uri.size(), "http://example.com/not-sparkle");
    const Appcast unrelated = parse_appcast(other);
    ASSERT_EQ(unrelated.items.size(), 1u);
    EXPECT_EQ(unrelated.items[0].version, "1.0");
    EXPECT_EQ(unrelated.items[0].os, std::nullopt);
    EXPECT_EQ(unrelated.items[0].channel, std::nullopt);

    // A default namespace declaration is as good as a prefix.
    const Appcast by_default = parse_appcast(
        feed("<item><version xmlns=\"" + std::string(uri) + "\">3.1</version></item>", "unused"));
    ASSERT_EQ(by_default.items.size(), 1u);
    EXPECT_EQ(by_default.items[0].version, "3.1");
}

// --- Where the version comes from -------------------------------------------------------------------

struct VersionCase {
    const char* name;
    std::string_view item_children;
    std::string_view version;
    std::optional<std::string_view> short_version = std::nullopt;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class ItemVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(ItemVersion, ComesFromTheFirstSourceThatHasOne) {
    const VersionCase& c = GetParam();
    const Appcast appcast = parse_appcast(feed("<item>" + std::string(c.item_children) + "</item>"));
    ASSERT_EQ(appcast.items.size(), 1u);
    EXPECT_EQ(appcast.items[0].version, c.version);
    EXPECT_EQ(appcast.items[0].short_version, c.short_version);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ItemVersion,
    testing::Values(
        VersionCase{
            "AttributeBeforeElementAndFileName",
            R"(<sparkle:version>20</sparkle:version><enclosure url="https://x/App_30.zip" sparkle:version="10"/>)",
            "10"},
        VersionCase{"ElementBeforeFileName",
                    R"(<enclosure url="https://x/App_30.zip"/><sparkle:version>20</sparkle:version>)", "20"},
        VersionCase{"ElementWithoutEnclosure", "<sparkle:version>20</sparkle:version>", "20"},
        VersionCase{
            "EmptyAttributeFallsToElement",
            R"(<enclosure url="https://x/App_30.zip" sparkle:version=""/><sparkle:version>20</sparkle:version>)", "20"},
        VersionCase{"BlankElementFallsToFileName",
                    "<sparkle:version>\n  </sparkle:version><enclosure url=\"https://x/App_30.zip\"/>", "30"},
        VersionCase{"ElementTextTrimmed", "<sparkle:version>\n    4.1 (77)\n  </sparkle:version>", "4.1 (77)"},
        VersionCase{"FirstElementOfTwo", "<sparkle:version>1</sparkle:version><sparkle:version>2</sparkle:version>",
                    "1"},
        VersionCase{"NestedElementIsNotTheItems",
                    R"(<group><sparkle:version>9</sparkle:version></group><enclosure url="https://x/App_30.zip"/>)",
                    "30"},
        VersionCase{"UnqualifiedAttributeIsNotTheFrameworks", R"(<enclosure url="https://x/App_30.zip" version="10"/>)",
                    "30"},
        VersionCase{"FileNameLastUnderscorePiece", R"(<enclosure url="https://x/dl/My_App_1.2.3.zip"/>)", "1.2.3"},
        VersionCase{"FileNameOnlyLastExtensionGoes", R"(<enclosure url="https://x/dl/App_2.0.tar.gz"/>)", "2.0.tar"},
        VersionCase{"FileNameIgnoresQueryAndFragment",
                    R"(<enclosure url="https://x/dl/App_5.dmg?token=a_b.c&amp;x=/y_z#part_9"/>)", "5"},
        VersionCase{"FileNameWithoutUnderscoreIsOnePiece", R"(<enclosure url="https://x/dl/App.zip"/>)", "App"},
        VersionCase{"FileNameWithoutExtension", R"(<enclosure url="https://x/dl/App_6"/>)", "6"},
        VersionCase{"FileNameEscapesOfPrintableAsciiDecoded", R"(<enclosure url="https://x/dl/My%20App_1.0%2b2.zip"/>)",
                    "1.0+2"},
        VersionCase{"FileNameEscapedUnderscoreSplits", R"(<enclosure url="https://x/dl/App%5F8.zip"/>)", "8"},
        VersionCase{"FileNameOtherEscapesKept", R"(<enclosure url="https://x/dl/App_1%E2%82%AC%zz.zip"/>)",
                    "1%E2%82%AC%zz"},
        VersionCase{"RelativeUrl", R"(<enclosure url="downloads/App_3.1.zip"/>)", "3.1"},
        VersionCase{
            "ShortVersionAttributeFirst",
            R"(<sparkle:shortVersionString>elem</sparkle:shortVersionString><enclosure url="https://x/A_1.zip" sparkle:shortVersionString="attr"/>)",
            "1", "attr"},
        VersionCase{
            "ShortVersionElement",
            R"(<enclosure url="https://x/A_1.zip"/><sparkle:shortVersionString> 1.0 beta </sparkle:shortVersionString>)",
            "1", "1.0 beta"},
        VersionCase{
            "ShortVersionIsNotAVersion",
            R"(<sparkle:shortVersionString>2.0</sparkle:shortVersionString><enclosure url="https://x/A_1.zip"/>)", "1",
            "2.0"}),
    [](const testing::TestParamInfo<VersionCase>& param_info) { return std::string(param_info.param.name); });

struct NoVersionCase {
    const char* name;
    std::string_view item_children;
};

void PrintTo(const NoVersionCase& c, std::ostream* os) { *os << c.name; }

class ItemWithoutVersion : public testing::TestWithParam<NoVersionCase> {};

TEST_P(ItemWithoutVersion, MakesTheWholeFeedInvalid) {
    const std::string xml = feed(R"(<item><title>Good</title><sparkle:version>1</sparkle:version></item>
<item><title>Bad one</title>)" + std::string(GetParam().item_children) +
                                 "</item>");
    const std::string message = refusal(xml);
    EXPECT_THAT(message, HasSubstr("item 2"));
    EXPECT_THAT(message, HasSubstr("Bad one"));
    EXPECT_THAT(message, HasSubstr("line 6"));
    EXPECT_THAT(message, HasSubstr("no version"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ItemWithoutVersion,
    testing::Values(NoVersionCase{"NothingAtAll", "<link>https://x/</link>"},
                    NoVersionCase{"EnclosureWithoutUrl", R"(<enclosure length="3" type="application/zip"/>)"},
                    NoVersionCase{"UrlEndingInSlash", R"(<enclosure url="https://x/dl/"/>)"},
                    NoVersionCase{"UrlOfHostOnly", R"(<enclosure url="https://x"/>)"},
                    NoVersionCase{"FileNameEndingInUnderscore", R"(<enclosure url="https://x/App_.zip"/>)"},
                    NoVersionCase{"EmptyElementAndAttribute",
                                  R"(<sparkle:version/><enclosure sparkle:version=" " url=""/>)"},
                    NoVersionCase{"ShortVersionOnly", "<sparkle:shortVersionString>2.0</sparkle:shortVersionString>"},
                    NoVersionCase{"VersionInAnotherNamespace", R"(<version>3</version>)"}),
    [](const testing::TestParamInfo<NoVersionCase>& param_info) { return std::string(param_info.param.name); });

// One huge version among many items would make the newest-item scan cost its length per item; such
// a feed is refused whichever way the version is given, and a version at the bound is taken.
TEST(Appcast, VersionsBeyondTheBoundRefuseTheFeed) {
    const std::string at_bound(max_version_bytes, '9');
    const std::string beyond = at_bound + "9";
    const Appcast ok = parse_appcast(feed("<item><sparkle:version>" + at_bound + "</sparkle:version></item>"));
    ASSERT_EQ(ok.items.size(), 1u);
    EXPECT_EQ(ok.items[0].version, at_bound);

    for (const std::string& item : {"<sparkle:version>" + beyond + "</sparkle:version>",
                                    R"(<enclosure url="https://x/A.zip" sparkle:version=")" + beyond + R"("/>)",
                                    R"(<enclosure url="https://x/App_)" + beyond + R"(.zip"/>)"}) {
        const std::string message = refusal(
            feed("<item><sparkle:version>1</sparkle:version></item><item>" + item + "</item>"));
        EXPECT_THAT(message, HasSubstr("item 2"));
        EXPECT_THAT(message, HasSubstr("version of " + std::to_string(beyond.size()) + " bytes"));
    }
}

// --- Which elements are items ------------------------------------------------------------------------

TEST(Appcast, ItemsAreOnlyThoseOfRssChannel) {
    const Appcast appcast = parse_appcast(R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <item><sparkle:version>0</sparkle:version></item>
  <channel>
    <item><title>one</title><sparkle:version>1</sparkle:version></item>
    <group><item><title>nested</title><sparkle:version>9</sparkle:version></item></group>
    <sparkle:item><sparkle:version>8</sparkle:version></sparkle:item>
  </channel>
  <channel><title>second</title><item><title>two</title><sparkle:version>2</sparkle:version></item></channel>
</rss>)");
    ASSERT_EQ(appcast.items.size(), 2u);
    EXPECT_EQ(appcast.items[0].title, "one");
    EXPECT_EQ(appcast.items[1].title, "two");
    EXPECT_EQ(appcast.title, "second");  // the first channel title; an item's title is not one
}

TEST(Appcast, AnotherRootHasNoItems) {
    EXPECT_TRUE(parse_appcast("<feed><channel><item><title>x</title></item></channel></feed>").items.empty());
    EXPECT_TRUE(parse_appcast("<rss xmlns=\"http://example.com/\"><channel><item/></channel></rss>").items.empty());
    EXPECT_TRUE(parse_appcast("<rss><channel/></rss>").items.empty());
}

TEST(Appcast, PredefinedEntitiesAndCharacterReferencesAreRead) {
    const Appcast appcast = parse_appcast(feed(
        "<item><title>A &amp; B &lt;&gt; &quot;&apos; &#x263A;&#65;</title><sparkle:version>1</sparkle:version></item>"));
    ASSERT_EQ(appcast.items.size(), 1u);
    EXPECT_EQ(appcast.items[0].title,
              "A & B <> \"' \xE2\x98\xBA"
              "A");
}

TEST(Appcast, EnclosureLengthIsADecimalNumberOrNothing) {
    const Appcast appcast = parse_appcast(feed(R"(
        <item><enclosure url="https://x/A_1.zip" length=" 18446744073709551615 "/></item>
        <item><enclosure url="https://x/A_2.zip" length="18446744073709551616"/></item>
        <item><enclosure url="https://x/A_3.zip" length="12 MB"/></item>
        <item><enclosure url="https://x/A_4.zip" length="-1"/></item>
        <item><enclosure url="https://x/A_5.zip"/></item>)"));
    ASSERT_EQ(appcast.items.size(), 5u);
    EXPECT_EQ(appcast.items[0].enclosure->length, 18446744073709551615u);
    for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(appcast.items[i].enclosure->length, std::nullopt) << i;
}

TEST(Appcast, FeedsLargerThanOneParserChunkAreReadWhole) {
    std::string items;
    constexpr int count = 30000;
    for (int i = 0; i < count; ++i) {
        items += "<item><title>Version " + std::to_string(i) + "</title><enclosure url=\"https://x/App_1." +
                 std::to_string(i) + ".zip\" length=\"1\" type=\"application/zip\"/></item>\n";
    }
    const std::string xml = feed(items);
    ASSERT_GT(xml.size(), std::size_t{3} << 20);
    const Appcast appcast = parse_appcast(xml);
    ASSERT_EQ(appcast.items.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(appcast.items.back().version, "1." + std::to_string(count - 1));
    const AppcastItem* best = best_item(appcast);
    ASSERT_NE(best, nullptr);
    EXPECT_EQ(best->version, "1." + std::to_string(count - 1));

    // A fault at the end still reports its own line, counted across pieces: four lines before the
    // items, one per item, then "<oops>", and the mismatched closing tag on the line after it.
    const std::string broken = xml.substr(0, xml.rfind("</channel>")) + "<oops>\n</channel></rss>";
    EXPECT_THAT(refusal(broken), HasSubstr("line " + std::to_string(4 + count + 2) + ": mismatched tag"));
}

// --- Feeds that must be refused ----------------------------------------------------------------------

struct HostileCase {
    const char* name;
    std::string_view xml;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class DocumentTypeDeclaration : public testing::TestWithParam<HostileCase> {};

TEST_P(DocumentTypeDeclaration, IsRefusedBeforeAnythingIsExpandedOrLoaded) {
    const auto start = std::chrono::steady_clock::now();
    const std::string message = refusal(GetParam().xml);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_THAT(message, HasSubstr("document type declarations are not allowed"));
    EXPECT_THAT(message, HasSubstr("line 2"));
    EXPECT_THAT(message, testing::Not(HasSubstr("root:")));
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DocumentTypeDeclaration,
    testing::Values(
        HostileCase{"ExternalEntity", R"(<?xml version="1.0"?>
<!DOCTYPE rss [ <!ENTITY xxe SYSTEM "file:///etc/passwd"> ]>
<rss><channel><item><title>&xxe;</title><sparkle:version xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">1</sparkle:version></item></channel></rss>)"},
        HostileCase{"BillionLaughs", R"(<?xml version="1.0"?>
<!DOCTYPE lolz [
 <!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
 <!ENTITY lol4 "&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;">
 <!ENTITY lol5 "&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;">
 <!ENTITY lol6 "&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;">
 <!ENTITY lol7 "&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;">
 <!ENTITY lol8 "&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;">
 <!ENTITY lol9 "&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;">
]>
<rss><channel><item><title>&lol9;</title></item></channel></rss>)"},
        HostileCase{"ExternalDtd",
                    "<?xml version=\"1.0\"?>\n<!DOCTYPE rss SYSTEM \"http://127.0.0.1:9/rss.dtd\"><rss/>"},
        HostileCase{"ParameterEntity",
                    "<?xml version=\"1.0\"?>\n<!DOCTYPE rss [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><rss/>"},
        HostileCase{"HarmlessLookingDoctype", "<?xml version=\"1.0\"?>\n<!DOCTYPE rss><rss><channel/></rss>"},
        HostileCase{"NoXmlDeclaration", "\n<!DOCTYPE rss [<!ENTITY v \"1\">]><rss/>"}),
    [](const testing::TestParamInfo<HostileCase>& param_info) { return std::string(param_info.param.name); });

TEST(Appcast, UndeclaredEntityIsMalformed) {
    EXPECT_THAT(refusal(feed("<item><title>&xxe;</title><sparkle:version>1</sparkle:version></item>")),
                HasSubstr("undefined entity"));
}

struct MalformedCase {
    const char* name;
    std::string_view xml;
    std::string_view message;  // Expat's own words
    int line;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedXml : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedXml, IsRefusedWithExpatsMessageAndLine) {
    const MalformedCase& c = GetParam();
    const std::string message = refusal(c.xml);
    EXPECT_THAT(message, HasSubstr(std::string(c.message)));
    EXPECT_THAT(message, HasSubstr("line " + std::to_string(c.line) + ":"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedXml,
    testing::Values(
        MalformedCase{"Empty", "", "no element found", 1},
        MalformedCase{"NotXml", "HTTP 502 Bad Gateway", "syntax error", 1},
        MalformedCase{"CutOff", "<rss>\n<channel>\n<item>", "no element found", 3},
        MalformedCase{"MismatchedTag", "<rss><channel>\n<item>\n</channel></rss>", "mismatched tag", 3},
        MalformedCase{"DuplicateAttribute", "<rss>\n\n<a b='1' b='2'/></rss>", "duplicate attribute", 3},
        MalformedCase{"UnboundPrefix", "<rss>\n<channel><sparkle:version>1</sparkle:version></channel></rss>",
                      "unbound prefix", 2},
        MalformedCase{"InvalidUtf8", "<rss><channel><title>caf\xE9</title></channel></rss>", "not well-formed", 1},
        MalformedCase{"JunkAfterRoot", "<rss/>\n<rss/>", "junk after document element", 2},
        MalformedCase{"HtmlPage", "<!doctype html>\n<html></html>", "syntax error", 1}),
    [](const testing::TestParamInfo<MalformedCase>& param_info) { return std::string(param_info.param.name); });

// --- Picking the item to offer -------------------------------------------------------------------------

struct Candidate {
    std::string_view version;
    std::optional<std::string_view> os = std::nullopt;
    std::optional<std::string_view> channel = std::nullopt;
};

struct BestCase {
    const char* name;
    std::vector<Candidate> items;
    std::optional<std::size_t> expected;  // index into items; nothing = no item
    std::string_view os = this_operating_system;
};

void PrintTo(const BestCase& c, std::ostream* os) { *os << c.name; }

class BestItem : public testing::TestWithParam<BestCase> {};

TEST_P(BestItem, IsTheFirstNewestForThisSystemOnTheDefaultChannel) {
    const BestCase& c = GetParam();
    Appcast appcast;
    for (const Candidate& candidate : c.items) {
        AppcastItem& item = appcast.items.emplace_back();
        item.version = candidate.version;
        if (candidate.os) item.os = std::string(*candidate.os);
        if (candidate.channel) item.channel = std::string(*candidate.channel);
    }
    const AppcastItem* best = best_item(appcast, c.os);
    if (c.expected) {
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best - appcast.items.data(), static_cast<std::ptrdiff_t>(*c.expected));
    } else {
        EXPECT_EQ(best, nullptr) << best->version;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BestItem,
    testing::Values(BestCase{"NoItems", {}, std::nullopt}, BestCase{"OneItem", {{"1.0"}}, 0},
                    BestCase{"NewestLast", {{"1.0"}, {"1.1"}, {"2.0"}}, 2},
                    BestCase{"NewestFirst", {{"2.0"}, {"1.1"}, {"1.0"}}, 0},
                    BestCase{"NewestInTheMiddle", {{"1.9"}, {"1.10"}, {"1.2"}}, 1},
                    BestCase{"EqualVersionsKeepTheFirst", {{"1.0"}, {"1.0"}}, 0},
                    BestCase{"EquivalentVersionsKeepTheFirst", {{"1.5"}, {"1.5.0"}, {"1.05"}}, 0},
                    BestCase{"TieAfterAnOlderItem", {{"1.0"}, {"2.0"}, {"1.5"}, {"2.0.0"}}, 1},
                    BestCase{"PreReleaseIsOlder", {{"2.0"}, {"2.0b3"}, {"2.0rc1"}}, 0},
                    BestCase{"NumbersNotText", {{"9"}, {"10"}}, 1},
                    BestCase{"NewerMacosItemIgnored", {{"1.0"}, {"2.0", "macos"}}, 0},
                    BestCase{"NewerWindowsItemIgnored", {{"1.0", "linux"}, {"3.0", "windows"}}, 0},
                    BestCase{"ItemsNamingLinuxCount", {{"1.0"}, {"1.5", "linux"}}, 1},
                    BestCase{"OsNameIsExact", {{"1.0"}, {"2.0", "Linux"}, {"3.0", " linux"}}, 0},
                    BestCase{"EmptyOsNamesNoSystem", {{"1.0"}, {"2.0", ""}}, 0},
                    BestCase{"NewerBetaChannelIgnored", {{"1.0"}, {"2.0", std::nullopt, "beta"}}, 0},
                    BestCase{"EmptyChannelIsNotTheDefault", {{"1.0"}, {"2.0", std::nullopt, ""}}, 0},
                    BestCase{"OnlyOtherSystems", {{"1.0", "macos"}, {"2.0", "windows"}}, std::nullopt},
                    BestCase{"OnlyOtherChannels", {{"1.0", std::nullopt, "beta"}}, std::nullopt},
                    BestCase{"AskingForMacos", {{"3.0", "linux"}, {"2.0", "macos"}, {"1.0"}}, 1, "macos"}),
    [](const testing::TestParamInfo<BestCase>& param_info) { return std::string(param_info.param.name); });

TEST(BestItem, FromAParsedFeed) {
    const Appcast appcast = parse_appcast(feed(R"(
  <item><title>Mac</title><enclosure url="https://x/App_3.0.dmg" sparkle:os="macos"/></item>
  <item><title>Beta</title><sparkle:channel>beta</sparkle:channel><enclosure url="https://x/App_2.5.tar.gz"/></item>
  <item><title>First 2.0</title><enclosure url="https://x/App_2.0.tar.gz" sparkle:version="2.0"/></item>
  <item><title>Old</title><enclosure url="https://x/App_1.0.tar.gz" sparkle:os="linux"/></item>
  <item><title>Second 2.0</title><enclosure url="https://x/App_2.0.0.tar.gz" sparkle:version="2.0.0" sparkle:os="linux"/></item>
)"));
    const AppcastItem* best = best_item(appcast);
    ASSERT_NE(best, nullptr);
    EXPECT_EQ(best->title, "First 2.0");
}

}  // namespace
}  // namespace kestrova::protocol
