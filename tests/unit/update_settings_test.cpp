// The one reader of the bundle's update settings, which the launch gate and the updater share.
#include <gtest/gtest.h>

#include <map>

#include "kestrova/info_plist_keys.h"
#include "kestrova/update_settings.h"

namespace kestrova {
namespace {

using Plist = std::map<std::string, std::string, std::less<>>;

UpdateSettings read(const Plist& plist) {
    return read_update_settings([&plist](std::string_view key) -> std::optional<std::string> {
        const auto found = plist.find(key);
        if (found == plist.end()) return std::nullopt;
        return found->second;
    });
}

struct VersionCase {
    const char* name;
    std::optional<std::string> version;
    bool usable;
};

TEST(UpdateSettings, OnlyAVersionWithContentCanBeCheckedAgainst) {
    const VersionCase cases[] = {
        {"absent", std::nullopt, false}, {"empty", "", false},    {"blank", " \t\n", false},
        {"plain", "1.0", true},          {"padded", " 2 ", true}, {"no-break space only", "\u00a0", false},
    };
    for (const auto& c : cases) {
        Plist plist;
        if (c.version) plist[kestrova::info_keys::bundle_version] = *c.version;
        const UpdateSettings settings = read(plist);
        EXPECT_EQ(settings.has_usable_version(), c.usable) << c.name;
        // The version itself is kept as it stands, blank or not.
        EXPECT_EQ(settings.bundle_version, c.version) << c.name;
    }
}

TEST(UpdateSettings, FeedAddressIsTrimmedAndABlankOneIsAbsent) {
    EXPECT_EQ(read({{kestrova::info_keys::feed_url, " https://example.test/appcast.xml\n"}}).feed_url,
              "https://example.test/appcast.xml");
    EXPECT_EQ(read({{kestrova::info_keys::feed_url, "  "}}).feed_url, std::nullopt);
    EXPECT_EQ(read({}).feed_url, std::nullopt);
}

TEST(UpdateSettings, NamesAndDisplayVersionFallBackInOrder) {
    EXPECT_EQ(read({}).application_name, "This application");
    EXPECT_EQ(read({{kestrova::info_keys::bundle_name, "Tessavane"}}).application_name, "Tessavane");
    EXPECT_EQ(read({{kestrova::info_keys::bundle_name, "Tessavane"}, {kestrova::info_keys::bundle_display_name, " "}})
                  .application_name,
              "Tessavane");
    EXPECT_EQ(read({{kestrova::info_keys::bundle_name, "Tessavane"},
                    {kestrova::info_keys::bundle_display_name, "Tessa"}})
                  .application_name,
              "Tessa");
    EXPECT_EQ(read({{kestrova::info_keys::bundle_version, "200"}}).display_version, "200");
    EXPECT_EQ(read({{kestrova::info_keys::bundle_version, "200"}, {kestrova::info_keys::bundle_short_version, "2.0"}})
                  .display_version,
              "2.0");
}

}  // namespace
}  // namespace kestrova
