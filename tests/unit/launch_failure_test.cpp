// The texts of the alert a GUI user sees when a launch fails before the application runs.
#include "core/launch_failure.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrova {
namespace {

TEST(LaunchFailureAlert, OnlyAGuiApplicationAwayFromATerminalGetsIt) {
    struct Case {
        bool console;
        bool terminal;
        bool wanted;
    };
    for (const Case c :
         {Case{false, false, true}, Case{false, true, false}, Case{true, false, false}, Case{true, true, false}})
        EXPECT_EQ(launch_failure_wants_alert(c.console, c.terminal), c.wanted) << c.console << c.terminal;
}

TEST(LaunchFailureAlert, TitleNamesTheBundleOrElseTheExecutable) {
    EXPECT_EQ(launch_failure_title(application_display_name("My App", "/x/My App.app/Contents/MacOS/run")),
              "My App could not be started");
    EXPECT_EQ(application_display_name(std::string(), "/x/A.app/Contents/MacOS/Launcher"), "Launcher");
    EXPECT_EQ(application_display_name(std::nullopt, "/x/A.app/Contents/MacOS/Launcher"), "Launcher");
    EXPECT_EQ(application_display_name(std::nullopt, ""), "The application");
}

TEST(LaunchFailureAlert, AdviceFollowsTheLine) {
    EXPECT_NE(
        launch_failure_advice("Path to executable is too long, have 2048 bytes buffer space.").find("shorter path"),
        std::string_view::npos);
    EXPECT_NE(launch_failure_advice("Failed to create JVM: Error 0xffffffff").find("Java runtime"),
              std::string_view::npos);
    EXPECT_EQ(launch_failure_advice("The launch record is damaged: x; package the application again."), advice_default);
}

TEST(LaunchFailureAlert, TextIsTheLineThenTheJvmsWordsThenTheAdvice) {
    EXPECT_EQ(launch_failure_text("Failed to create JVM: Error 0xffffffff", "\nUnrecognized option: -Xfoo\n\n",
                                  "Do X."),
              "Failed to create JVM: Error 0xffffffff\n\nThe Java runtime said:\nUnrecognized option: -Xfoo\n\nDo X.");
    EXPECT_EQ(launch_failure_text("The line.", "", "Do X."), "The line.\n\nDo X.");
    // The JVM ended the process itself: there is no line of the launcher's.
    EXPECT_EQ(launch_failure_text("", "Too small maximum heap\n", "Do X."),
              "The Java runtime said:\nToo small maximum heap\n\nDo X.");
}

TEST(JvmOutputTail, KeepsTheLastWholeLinesWithinItsCapacity) {
    JvmOutputTail tail;
    tail.append("first\n");
    tail.append("second\n");
    EXPECT_EQ(tail.text(), "first\nsecond\n");

    const std::string filler(JvmOutputTail::capacity - 10, 'x');
    tail.append(filler + "\n");
    tail.append("reason one\nreason two\n");
    EXPECT_EQ(tail.text(), "reason one\nreason two\n");

    JvmOutputTail huge;
    huge.append(std::string(3 * JvmOutputTail::capacity, 'y') + "\nlast\n");
    EXPECT_EQ(huge.text(), "last\n");

    huge.clear();
    EXPECT_EQ(huge.text(), "");
}

}  // namespace
}  // namespace kestrova
