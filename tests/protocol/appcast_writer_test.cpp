// The publisher's writers: which kind of error each refusal is (the release tool words its message
// by it), and that what they write reads back with the clients' own readers.
#include "protocol/appcast_writer.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "protocol/appcast.h"
#include "protocol/metadata.h"

namespace kestrova::protocol {
namespace {

ReleaseItem item_of(std::string version) {
    ReleaseItem item;
    item.version = std::move(version);
    item.short_version = item.version;
    item.url = "https://example.org/App-" + item.version + ".tar.gz";
    item.length = 10;
    item.signature = "c2ln";
    item.pub_date = rfc822_date(0);
    return item;
}

struct RefusalCase {
    const char* name;
    std::optional<std::string> existing;
    std::string title;
    std::string description;
    AppcastWriteError::Kind kind;
    std::string detail;  // what() names: the newer version, or the text XML cannot carry
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class AppcastRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(AppcastRefusal, SaysWhichKind) {
    const RefusalCase& c = GetParam();
    ReleaseItem item = item_of("2");
    if (!c.description.empty()) item.description = c.description;
    try {
        appcast_with_item(c.existing, c.title, item);
        FAIL() << "written";
    } catch (const AppcastWriteError& e) {
        EXPECT_EQ(e.kind(), c.kind);
        if (!c.detail.empty()) {
            EXPECT_EQ(e.what(), c.detail);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppcastRefusal,
    testing::Values(RefusalCase{"NotXml", "<rss", "App", "", AppcastWriteError::Kind::unreadable, ""},
                    RefusalCase{"NewerOffered", appcast_with_item(std::nullopt, "App", item_of("3")), "App", "",
                                AppcastWriteError::Kind::not_newer, "3"},
                    RefusalCase{"ControlCharacterInTitle", std::nullopt, "A\x01pp", "",
                                AppcastWriteError::Kind::bad_text, "A\x01pp"},
                    RefusalCase{"NotUtf8InNotes", std::nullopt, "App", "\xff", AppcastWriteError::Kind::bad_text,
                                "\xff"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(AppcastWriter, WrittenItemReadsBackAndReplacesItsOwnVersion) {
    const std::string once = appcast_with_item(std::nullopt, "App", item_of("1.2"));
    const std::string twice = appcast_with_item(once, "App", item_of("1.2"));
    const Appcast parsed = parse_appcast(twice);
    ASSERT_EQ(parsed.items.size(), 1u);
    EXPECT_EQ(parsed.items[0].version, "1.2");
    EXPECT_EQ(parsed.items[0].pub_date, "Thu, 01 Jan 1970 00:00:00 +0000");
    EXPECT_EQ(protocol::metadata_version(protocol::metadata_for_appcast(twice)), "1.2");
}

TEST(MetadataWriter, RefusesAVersionTheGateWouldReadOtherwise) {
    EXPECT_EQ(protocol::metadata_version(protocol::metadata_properties("1.2.3")), "1.2.3");
    EXPECT_THROW(protocol::metadata_properties("1=2"), protocol::MetadataWriteError);
    EXPECT_THROW(protocol::metadata_properties(" 1.2"), protocol::MetadataWriteError);
}

}  // namespace
}  // namespace kestrova::protocol
