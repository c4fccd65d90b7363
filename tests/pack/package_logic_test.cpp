// The pure rules of system packages: names, versions that order as the updater's, and what is read
// back from Debian's tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/deb_package.h"
#include "tools/package_tree.h"
#include "tools/packaging.h"

namespace kestrova::pack {
namespace {

using ::testing::ElementsAre;

TEST(DebianVersion, OrdersAsTheUpdaterOrNotAtAll) {
    const struct {
        const char* bundle;
        const char* debian;  // nullptr: refused
    } cases[] = {
        {"1.2.3", "1.2.3"}, {"200", "200"},       {"2.0b1", "2.0~b1"}, {"5.6rc", "5.6~rc"}, {"1.0-beta", nullptr},
        {"v2.0", nullptr},  {"1.0 (5)", nullptr}, {"1..2", nullptr},   {"", nullptr},       {"1.0b1.2", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bundle);
        if (c.debian) {
            EXPECT_EQ(debian_version(c.bundle), c.debian);
        } else {
            EXPECT_THROW(debian_version(c.bundle), PackError);
        }
    }
}

TEST(PackageName, IsMadeFromTheBundleNameOrRefused) {
    EXPECT_EQ(package_name_for("jEdit"), "jedit");
    EXPECT_EQ(package_name_for("My App_2"), "my-app-2");
    EXPECT_EQ(package_name_for("-Tool-"), "tool");
    EXPECT_THROW(package_name_for("\xc3\xa9"), PackError);
    EXPECT_FALSE(is_valid_package_name("Probe"));
    EXPECT_FALSE(is_valid_package_name("-probe"));
}

TEST(DebianToolOutput, DependenciesAndOwnersAreReadBack) {
    EXPECT_THAT(shlibs_depends("shlibs:Depends=libc6 (>= 2.34), libstdc++6 (>= 12)\n"),
                ElementsAre("libc6 (>= 2.34)", "libstdc++6 (>= 12)"));
    EXPECT_TRUE(shlibs_depends("").empty());
    EXPECT_EQ(package_of_search_line("libcurl4:amd64: /usr/lib/x86_64-linux-gnu/libcurl.so.4\n"), "libcurl4");
    EXPECT_EQ(package_of_search_line("openjdk-17-jre-headless:amd64, other: /usr/lib/jvm/x"),
              "openjdk-17-jre-headless");
    EXPECT_EQ(package_of_search_line("diversion by dash from: /bin/sh"), std::nullopt);
}

}  // namespace
}  // namespace kestrova::pack
