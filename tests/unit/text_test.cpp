#include "kestrova/text.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

using kestrova::escape_markup;
using kestrova::MarkupPlace;

// What each place writes for the same text: the five references everywhere, and tab and line ends
// as references only in an attribute, where a reader would otherwise fold them into spaces.
TEST(EscapeMarkup, WritesWhatEachPlaceNeeds) {
    struct Case {
        std::string_view text;
        std::string_view as_text;
        std::string_view as_attribute;
    };
    const Case cases[] = {
        {R"(a<b>&"c"'d')", "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;", "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;"},
        {"tab\tline\nreturn\r", "tab\tline\nreturn\r", "tab&#9;line&#10;return&#13;"},
        {"&amp;", "&amp;amp;", "&amp;amp;"},  // a reference in the text is text, escaped again
        {"caf\xc3\xa9 \\ \x01", "caf\xc3\xa9 \\ \x01", "caf\xc3\xa9 \\ \x01"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escape_markup(c.text), c.as_text) << c.text;
        EXPECT_EQ(escape_markup(c.text, MarkupPlace::attribute), c.as_attribute) << c.text;
    }
}

}  // namespace
