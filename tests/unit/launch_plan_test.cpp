#include "core/launch_plan.h"

#include <gtest/gtest.h>

#include "core/class_data.h"

namespace kestrova {
namespace {

// What each purpose gives the JVM and the application, in order: the record's options, the user's,
// the command (the application's alone), the tokens expanded everywhere; the dump's options last.
TEST(LaunchPlan, OptionsArgumentsAndClassDataStepInOrder) {
    const std::vector<std::string> dump = class_data::dump_options("/c/l.classlist", "/c/a.jsa.tmp");
    const struct {
        const char* name;
        LaunchPurpose purpose;
        std::vector<std::string> record_options, record_args, user_options;
        std::vector<const char*> command_line;
        const char* home;
        std::vector<std::string> jvm_options;
        std::string main_class;
        std::vector<std::string> arguments;
        bool home_missing;
    } cases[] = {
        {"application",
         LaunchPurpose::application,
         {"-Djava.class.path=&&/a.jar", "-Dh=~~/x"},
         {"r1", "r 2"},
         {"-Xmx2g", "-Dd=&&"},
         {"c1", "&&"},
         "/home/u",
         {"-Djava.class.path=/R/a.jar", "-Dh=/home/u/x", "-Xmx2g", "-Dd=/R", "-Dsun.java.command=M r1 r 2 c1 /R"},
         "M",
         {"r1", "r 2", "c1", "&&"},
         false},
        {"home token without a home",
         LaunchPurpose::application,
         {"-Dh=~~"},
         {},
         {},
         {},
         "",
         {"-Dh=", "-Dsun.java.command=M"},
         "M",
         {},
         true},
        {"home token only on the command line",
         LaunchPurpose::application,
         {},
         {},
         {},
         {"~~"},
         "",
         {"-Dsun.java.command=M "},
         "M",
         {"~~"},
         false},
        {"home token in the user's options",
         LaunchPurpose::class_data_dump,
         {},
         {},
         {"-Dh=~~"},
         {},
         "",
         {"-Dh="},
         "",
         {},
         true},
        {"dump",
         LaunchPurpose::class_data_dump,
         {"-Djava.class.path=&&/a.jar"},
         {"r1"},
         {"-Xmx2g"},
         {"c1"},
         "/home/u",
         {"-Djava.class.path=/R/a.jar", "-Xmx2g"},
         "",
         {},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = encode_launch_record({0, 0, "M", c.record_options, c.record_args});
        const BurnedInData record(std::span<const char>(bytes.data(), bytes.size()));
        const LaunchInputs inputs{c.command_line, c.user_options, "/R", c.home, "/c/l.classlist", "/c/a.jsa.tmp"};
        const auto plan = plan_launch(record, inputs, c.purpose);
        const bool application = c.purpose == LaunchPurpose::application;
        EXPECT_EQ(plan.jvm_options, c.jvm_options);
        EXPECT_EQ(plan.main_class, c.main_class);
        EXPECT_EQ(plan.arguments, c.arguments);
        EXPECT_EQ(plan.home_missing, c.home_missing);
        EXPECT_EQ(plan.jvm_hooks, application);
        EXPECT_EQ(plan.class_data, application ? ClassDataStep::chosen_at_start : ClassDataStep::dump);
        EXPECT_EQ(plan.class_data_options, application ? std::vector<std::string>{} : dump);
    }
}

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
