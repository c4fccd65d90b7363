#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrova/utf8.h"
#include "platform/linux/alert_internal.h"

namespace kestrova::platform::linux_backend {
namespace {

const std::string ellipsis_marker = "\n\u2026";

TEST(DialogText, FitsUnchangedOrIsCutAtACharacterWithAMarker) {
    EXPECT_EQ(shorten_for_dialog("short", 5), "short");
    EXPECT_EQ(shorten_for_dialog("", 0), "");

    const std::string ascii(100, 'a');
    const std::string cut = shorten_for_dialog(ascii, 20);
    EXPECT_EQ(cut, std::string(16, 'a') + ellipsis_marker);  // 16 + 4 bytes of marker = 20
    EXPECT_LE(cut.size(), 20u);

    // Three-byte characters: a cut inside one backs off to its first byte, so the text stays
    // valid UTF-8 and never exceeds the bound.
    std::string cjk;
    for (int i = 0; i < 50; ++i) cjk += "\u4e2d";
    for (std::size_t limit = 4; limit < 40; ++limit) {
        const std::string shortened = shorten_for_dialog(cjk, limit);
        EXPECT_LE(shortened.size(), limit) << limit;
        EXPECT_TRUE(is_valid_utf8(shortened)) << limit;
        EXPECT_TRUE(shortened.ends_with(ellipsis_marker)) << limit;
        EXPECT_EQ((shortened.size() - ellipsis_marker.size()) % 3, 0u) << limit;
    }
}

TEST(DialogText, TheDefaultBoundFitsInOneProgramArgument) {
    const std::string huge(300 * 1024, 'x');
    const std::string shortened = shorten_for_dialog(huge);
    // Linux takes single arguments below 128 KiB, "--text=" included.
    EXPECT_LT(shortened.size() + std::string("--text=").size(), 128u * 1024);
    EXPECT_TRUE(shortened.starts_with(std::string(1000, 'x')));
}

TEST(DialogOutcome, ClosingTheWindowCountsAsShownButAnUnreachableDisplayDoesNot) {
    EXPECT_TRUE(dialog_was_shown(0, ""));
    EXPECT_TRUE(dialog_was_shown(1, ""));  // closed with Escape or the window's close button
    EXPECT_TRUE(dialog_was_shown(1, "Gtk-Message: GtkDialog mapped without a transient parent"));
    EXPECT_FALSE(dialog_was_shown(1, "(zenity:4242): Gtk-WARNING **: 07:39:04.885: cannot open display: :99\n"));
    EXPECT_FALSE(dialog_was_shown(5, ""));
    EXPECT_FALSE(dialog_was_shown(255, ""));
}

struct ButtonCase {
    const char* name;
    int exit_status;
    const char* answer;
    std::optional<std::size_t> chosen;
};

class ChosenButtonTest : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(ChosenButtonTest, ZenitysExitAndOutputNameTheButton) {
    const std::vector<std::string> buttons = {"Remind Me Later", "Install Update", "Skip This Version"};
    EXPECT_EQ(chosen_button(GetParam().exit_status, GetParam().answer, buttons), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(Table, ChosenButtonTest,
                         ::testing::Values(ButtonCase{"Ok", 0, "", 1}, ButtonCase{"CancelOrClosed", 1, "", 0},
                                           ButtonCase{"Extra", 1, "Skip This Version\n", 2},
                                           ButtonCase{"ExtraWithoutNewline", 1, "Skip This Version", 2},
                                           ButtonCase{"UnknownLabel", 1, "Something Else\n", std::nullopt},
                                           ButtonCase{"OkLabelIsNotAnExtra", 1, "Install Update\n", std::nullopt},
                                           ButtonCase{"Timeout", 5, "", std::nullopt}),
                         [](const auto& p) { return std::string(p.param.name); });

// Application names and versions reach the progress dialog as they are: markup characters, a
// backslash or a line break must show as written, and a text line must stay one line.
TEST(ProgressWindowText, ShowsAsWrittenAndStaysOneLine) {
    EXPECT_EQ(progress_window_markup("Downloading A&B <1.1>\u2026"), "Downloading A&amp;B &lt;1.1&gt;\u2026");
    EXPECT_EQ(progress_window_markup("C:\\new \"q\" 'a'"), "C:\\\\new &quot;q&quot; &apos;a&apos;");
    EXPECT_EQ(progress_window_text_line("Installing\u2026"), "# Installing\u2026\n");
    EXPECT_EQ(progress_window_text_line("a\\n\nb\r"), "# a\\\\n\\nb \n");
    EXPECT_EQ(progress_window_text_line("<b>&</b>"), "# <b>&</b>\n");  // such lines are plain text
}

}  // namespace
}  // namespace kestrova::platform::linux_backend
