#include "core/launch_plan.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

TEST(SunJavaCommand, MainClassAloneWithoutArguments) {
    EXPECT_EQ(build_sun_java_command("M", {}, {}), "-Dsun.java.command=M");
}

TEST(SunJavaCommand, RecordedThenCommandLineArgumentsVerbatim) {
    const std::vector<std::string> recorded = {"a", "b c"};
    const char* cmdline[] = {"d", "", "x&&y"};
    EXPECT_EQ(build_sun_java_command("M", recorded, cmdline), "-Dsun.java.command=M a b c d  x&&y");
    const char* trailing_empty[] = {""};
    EXPECT_EQ(build_sun_java_command("M", {}, trailing_empty), "-Dsun.java.command=M ");
}

TEST(AppDirectory, ExecutableDirectoryThenResources) {
    EXPECT_EQ(unresolved_app_dir("/Applications/X.app/Contents/MacOS/launcher"),
              "/Applications/X.app/Contents/MacOS/../Resources/");
    EXPECT_EQ(unresolved_app_dir("/launcher"), "/../Resources/");
    EXPECT_EQ(unresolved_app_dir("launcher"), "./../Resources/");
}

TEST(AppDirTokens, ExpansionTable) {
    struct Case {
        const char* option;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"&", "&"},
        {"a&b", "a&b"},
        {"&&", "/R"},
        {"-Dapp.dir=&&", "-Dapp.dir=/R"},
        {"&&/lib", "/R/lib"},
        {"&&&", "/R&"},
        {"&&&&", "/R/R"},
        {"&&&&&", "/R/R&"},
        {"-Djava.library.path=&&/../runtime/Contents/Home/lib:&&", "-Djava.library.path=/R/../runtime/Contents/Home/lib:/R"},
    };
    for (const auto& c : cases) EXPECT_EQ(expand_app_dir_tokens(c.option, "/R"), c.expected) << c.option;
}

TEST(AppDirTokens, AppDirectoryHoldingTheTokenIsNotExpandedAgain) {
    EXPECT_EQ(expand_app_dir_tokens("x=&&:&&", "/a&&b"), "x=/a&&b:/a&&b");
    EXPECT_EQ(expand_app_dir_tokens("&&", "&&&&"), "&&&&");
}

}  // namespace
}  // namespace kestrova
