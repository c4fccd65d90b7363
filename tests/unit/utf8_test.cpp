#include "kestrova/utf8.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

TEST(ModifiedUtf8, BasicPlaneIsUnchanged) {
    for (const char* s : {"", "plain ascii", "caf\xC3\xA9", "\xE2\x82\xAC 10", "\xEF\xBF\xBD"})
        EXPECT_EQ(to_modified_utf8(s), s);
}

TEST(ModifiedUtf8, SupplementaryCharactersBecomeSurrogatePairs) {
    // U+1F600 is D83D DE00; U+10FFFF is DBFF DFFF.
    EXPECT_EQ(to_modified_utf8("\xF0\x9F\x98\x80"), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(to_modified_utf8("a\xF4\x8F\xBF\xBF" "b"), "a\xED\xAF\xBF\xED\xBF\xBF" "b");
}

TEST(ModifiedUtf8, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        std::string in, out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    for (const auto& c : {Case{"\xFF", fffd}, Case{"a\xC3", "a" + fffd}, Case{"\xC0\xAF", fffd + fffd},
                          Case{"\xED\xA0\x80", fffd + fffd + fffd},  // an encoded surrogate is not UTF-8
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
    EXPECT_EQ(from_modified_utf8("a\xC0\x80" "b"), "a" + fffd + "b");             // the JVM's NUL
    EXPECT_EQ(from_modified_utf8("\xED\xA0\xBD" "x"), fffd + "x");                // lone high surrogate
    EXPECT_EQ(from_modified_utf8("\xED\xB8\x80"), fffd);                          // lone low surrogate
    EXPECT_EQ(from_modified_utf8("\xED\xA0\xBD\xED\xA0\xBD"), fffd + fffd);      // two highs
}

}  // namespace
}  // namespace kestrova
