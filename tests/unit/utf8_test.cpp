#include "kestrova/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {
namespace {

TEST(ModifiedUtf8, BasicPlaneIsUnchanged) {
    for (const char* s : {"", "plain ascii", "caf\xC3\xA9", "\xE2\x82\xAC 10", "\xEF\xBF\xBD"})
        EXPECT_EQ(to_modified_utf8(s), s);
}

TEST(ModifiedUtf8, SupplementaryCharactersBecomeSurrogatePairs) {
    // U+1F600 is D83D DE00; U+10FFFF is DBFF DFFF.
    EXPECT_EQ(to_modified_utf8("\xF0\x9F\x98\x80"), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(to_modified_utf8("a\xF4\x8F\xBF\xBF"
                               "b"),
              "a\xED\xAF\xBF\xED\xBF\xBF"
              "b");
}

TEST(ModifiedUtf8, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        std::string in, out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    for (const auto& c : {Case{"\xFF", fffd}, Case{"a\xC3", "a" + fffd}, Case{"\xC0\xAF", fffd + fffd},
                          Case{"\xED\xA0\x80", fffd + fffd + fffd},             // an encoded surrogate is not UTF-8
                          Case{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
                          Case{"\xF0\x9F\x98", fffd + fffd + fffd}}) {
        EXPECT_EQ(to_modified_utf8(c.in), c.out);
        EXPECT_EQ(sanitize_utf8(c.in), c.out);
    }
}

TEST(ModifiedUtf8, RoundTripThroughTheJvmForm) {
    for (const char* s : {"", "x", "\xF0\x9F\x98\x80 \xF0\xA0\xAE\xB7", "mixed \xC3\xA9\xF0\x9F\x98\x80\xE2\x82\xAC"})
        EXPECT_EQ(from_modified_utf8(to_modified_utf8(s)), s);
}

TEST(ModifiedUtf8, WhatStandardUtf8CannotHoldIsReplaced) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(from_modified_utf8("a\xC0\x80"
                                 "b"),
              "a" + fffd + "b");  // the JVM's NUL
    EXPECT_EQ(from_modified_utf8("\xED\xA0\xBD"
                                 "x"),
              fffd + "x");                                                   // lone high surrogate
    EXPECT_EQ(from_modified_utf8("\xED\xB8\x80"), fffd);                     // lone low surrogate
    EXPECT_EQ(from_modified_utf8("\xED\xA0\xBD\xED\xA0\xBD"), fffd + fffd);  // two highs
}

TEST(Utf8Validity, AcceptsOnlyWellFormedUtf8) {
    struct Case {
        std::string_view text;
        bool valid;
    };
    using namespace std::string_view_literals;
    for (const auto& c : {
             Case{""sv, true},
             Case{"app.version=1.2"sv, true},
             Case{"nul \0 inside"sv, true},                         // U+0000 is a character like any other
             Case{"\xC2\xA0\xE3\x80\x80\xF0\x9F\x98\x80"sv, true},  // two, three and four bytes
             Case{"\xF4\x8F\xBF\xBF"sv, true},                      // U+10FFFF, the last one
             Case{"\xEF\xBB\xBFkey=v"sv, true},                     // a byte order mark is a character
             Case{"\xFF"sv, false},
             Case{"\x80"sv, false},    // continuation byte with no lead
             Case{"ok\xC3"sv, false},  // cut off at the end
             Case{"\xE2\x82"sv, false},
             Case{"\xC0\xAF"sv, false},          // overlong "/"
             Case{"\xE0\x80\xAF"sv, false},      // overlong, three bytes
             Case{"\xED\xA0\x80"sv, false},      // encoded surrogate
             Case{"\xF4\x90\x80\x80"sv, false},  // above U+10FFFF
             Case{"\xC3\x28"sv, false},          // lead followed by a non-continuation
             Case{"latin-1 caf\xE9"sv, false},
         }) {
        EXPECT_EQ(is_valid_utf8(c.text), c.valid) << testing::PrintToString(std::string(c.text));
    }
}

TEST(Utf8Decoding, StepsOverOneCharacterOrOneMalformedByte) {
    const std::string_view text = "a\xC2\xA0\xFF\xE3\x80\x80\xE3\x80";
    std::size_t pos = 0;
    EXPECT_EQ(decode_utf8(text, pos), U'a');
    EXPECT_EQ(pos, 1u);
    EXPECT_EQ(decode_utf8(text, pos), U'\u00A0');
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(decode_utf8(text, pos), std::nullopt);
    EXPECT_EQ(pos, 4u);
    EXPECT_EQ(decode_utf8(text, pos), U'\u3000');
    EXPECT_EQ(pos, 7u);
    // A sequence cut off by the end of the text is one malformed byte at a time, never a read past it.
    EXPECT_EQ(decode_utf8(text, pos), std::nullopt);
    EXPECT_EQ(pos, 8u);
    EXPECT_EQ(decode_utf8(text, pos), std::nullopt);
    EXPECT_EQ(pos, 9u);
}

}  // namespace
}  // namespace kestrova
