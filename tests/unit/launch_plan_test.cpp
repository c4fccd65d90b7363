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

// The app directory's token alone, left to right without overlap: an odd '&' stays as it is.
TEST(OptionTokens, AppDirectoryExpansionTable) {
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
        {"-Djava.library.path=&&/../runtime/Contents/Home/lib:&&",
         "-Djava.library.path=/R/../runtime/Contents/Home/lib:/R"},
    };
    for (const auto& c : cases) EXPECT_EQ(expand_option_tokens(c.option, "/R", "/H"), c.expected) << c.option;
}

TEST(OptionTokens, HomeAndAppDirectoryInOnePassWithoutRescanning) {
    EXPECT_EQ(expand_option_tokens("-Dd=~~/x:&&/y", "/app~~", "/home/u&&"), "-Dd=/home/u&&/x:/app~~/y");
    EXPECT_EQ(expand_option_tokens("-Dd=~&~&&~", "A", "H"), "-Dd=~&~A~");
}

// One case per kind of line: what is kept, and each reason a line is refused.
TEST(UserJvmOptions, KeepsOptionsOneALineAndNamesTheFirstBadLine) {
    const struct {
        std::string text;
        std::vector<std::string> options;
        std::size_t bad_line;
        std::string problem;
    } cases[] = {
        {"# memory\n\n  -Xmx2g\t\r\n-Dname=a b\n--add-opens=java.base/java.lang=ALL-UNNAMED",
         {"-Xmx2g", "-Dname=a b", "--add-opens=java.base/java.lang=ALL-UNNAMED"},
         0,
         ""},
        {"-Xmx2g\nXss1m\n", {}, 2, "is not a JVM option"},
        {"\n-Xmx2g -Xss1m\n", {}, 2, "holds more than one option"},
        {"--add-opens java.base/java.lang=ALL-UNNAMED\n", {}, 1, "holds more than one option"},
        {"-Xmx2g\n-cp\n", {}, 2, "would change what the application runs"},
        {"-Djava.class.path=/tmp/x.jar\n", {}, 1, "would change what the application runs"},
        {"-XX:SharedArchiveFile=/tmp/a.jsa\n", {}, 1, "would change what the application runs"},
        // The same options in the other forms the JVM reads them in.
        {"-XX:SharedArchiveFile:=/tmp/a.jsa\n", {}, 1, "would change what the application runs"},
        {"-XX:+AutoCreateSharedArchive\n", {}, 1, "would change what the application runs"},
        {"-Dapp.dir\n", {}, 1, "would change what the application runs"},
        {"-Djava.class.path\n", {}, 1, "would change what the application runs"},
        {"-Xbootclasspath/a:/tmp/x.jar\n", {}, 1, "would change what the application runs"},
        // Names that only begin like a refused one are the user's.
        {"-Dapp.directory=x\n-XX:SharedArchiveFiles=1\n", {"-Dapp.directory=x", "-XX:SharedArchiveFiles=1"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = parse_user_jvm_options(c.text);
        EXPECT_EQ(parsed.options, c.options);
        EXPECT_EQ(parsed.bad_line, c.bad_line);
        EXPECT_NE(parsed.problem.find(c.problem), std::string::npos) << parsed.problem;
    }
}

}  // namespace
}  // namespace kestrova
