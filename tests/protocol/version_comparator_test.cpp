// The update framework's standard version ordering, one line per case: left, right, and what
// comparing left with right must give ("<" left is older, "=" same, ">" left is newer).
#include "protocol/version_comparator.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::protocol {

// So that failures print "<" / "=" / ">" instead of a raw integer.
void PrintTo(Ordering o, std::ostream* os) {
    *os << (o == Ordering::ascending ? "<" : o == Ordering::same ? "=" : ">");
}

namespace {

constexpr Ordering lt = Ordering::ascending;
constexpr Ordering eq = Ordering::same;
constexpr Ordering gt = Ordering::descending;

Ordering reversed(Ordering o) { return static_cast<Ordering>(-static_cast<int>(o)); }

struct Case {
    std::string_view left;
    std::string_view right;
    Ordering expected;
};

// Non-printable and non-ASCII bytes as \xNN, so that test names stay plain ASCII.
void print_escaped(std::string_view text, std::ostream& os) {
    constexpr char hex[] = "0123456789abcdef";
    os << '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            os << c;
        } else {
            os << "\\x" << hex[byte >> 4] << hex[byte & 0xf];
        }
    }
    os << '"';
}

void PrintTo(const Case& c, std::ostream* os) {
    print_escaped(c.left, *os);
    *os << " vs ";
    print_escaped(c.right, *os);
}

class VersionOrdering : public testing::TestWithParam<Case> {};

TEST_P(VersionOrdering, ComparesAsTheFrameworkDoes) {
    const Case& c = GetParam();
    EXPECT_EQ(compare_versions(c.left, c.right), c.expected);
}

constexpr Case numeric_cases[] = {
    {"1.0", "1.1", lt},
    {"1.1", "1.0", gt},
    {"1.0", "1.0", eq},
    {"2.0", "1.1", gt},
    {"1.9", "1.10", lt},  // numeric, not textual
    {"9.0", "10.0", lt},
    {"3.2.99", "3.3.0", lt},
    {"0.1", "0.1.2", lt},  // one more number is newer
    {"1.39.5", "1.39.5.1", lt},
    {"1.01", "1.1", eq},  // leading zeros do not matter
    {"01", "1", eq},
    {"1.010", "1.9", gt},
    {"201210251627", "201210251628", lt},  // date-style numbers need 64 bits
    {"201210251627", "4294967296", gt},
};

constexpr Case prerelease_cases[] = {
    {"1.0b1", "1.0", lt},
    {"1.0rc", "1.0", lt},
    {"1.0pre1", "1.0", lt},
    {"1.0.0b1", "1.0", lt},
    {"1.0", "1.0.0b1", gt},
    {"3.3.0b1", "3.3.0", lt},
    {"1.0b1", "1.0b2", lt},
    {"1.0b2", "1.0b10", lt},
    {"1.0a", "1.0b", lt},
    {"1.0b", "1.0beta", lt},  // a prefix is smaller
    {"1.0beta", "1.0pre", lt},
    {"1.0pre", "1.0rc", lt},
    {"1.0dev", "1.0beta", gt},
    {"1.0RC", "1.0alpha", lt},  // upper case sorts first
    {"1.0Beta", "1.0alpha", lt},
    {"1.0b5", "1.0a9", gt},
    {"1.0 (1234)", "1.0b1 (1234)", gt},  // a space meets a letter
    {"1.0b1 (1234)", "1.0 (1234)", lt},
};

constexpr Case dash_cases[] = {
    {"1.5.5-335d3e2", "1.5.5", eq},
    {"1.0-beta", "1.0", eq},
    {"2.0-rc1", "2.0-rc2", eq},
    {"2.0-rc1", "2.0", eq},
    {"1.18.3-2", "1.18.3", eq},
    {"1.6.0-beta.1", "1.6.0", eq},
    {"1.0-", "1.0", eq},
    {"1.0b1-2", "1.0b1", eq},
    {"1.5-335d3e2", "1.5.0-335d3e2", eq},  // cut first, then balanced
    {"1.5-9", "1.6", lt},
    {"1.0--1", "1.0", eq},
    // A leading dash is kept as a part of its own.
    {"-1", "-2", lt},
    {"-", "-", eq},
    {"-", "", gt},  // an extra dash part counts as "more version"
    {"-", "a", gt},
    {"a", "-", lt},
    {"--5", "-", eq},  // the second dash ends it
};

constexpr Case balancing_cases[] = {
    {"1.0", "1.0.0", eq},
    {"1.0.0", "1.0", eq},
    {"1", "1.0.0.0", eq},
    {"1.1.1.1818", "1.1.1.1818.0", eq},
    {"201210251627", "201210251627.0", eq},
    {"1.0pre1", "1.0.0pre1", eq},  // the padding goes before the suffix
    {"1b1", "1.0b1", eq},
    {"3.3b1 (5902)", "3.3.0b1 (5902)", eq},
    {"1.", "1.0", eq},  // the longer run's trailing period is copied too
    {"1.0.", "1", eq},
    {"1", "1.5", lt},  // padding is "0", never the other side's value
    {"1.5", "1", gt},
    {"1b1", "1.2b1", lt},
    {"1.0", "1.0.1", lt},
    // Side effects that surprise.
    {"", "0", eq},
    {"v2.0", "1.0", lt},  // "v2.0" is padded to "0.0v2.0"
    {"1.0", "v2.0", gt},
    {".1", "0.0.1", lt},
    {" 1.0", "1.0", lt},
    {"1,0", "1.0", gt},  // only '.' is balanced; the extra ',' is "more version"
    {"1.0", "1,0", lt},
};

constexpr Case separator_cases[] = {
    {"1.0", "1.0 (1234)", lt},
    {"1.0", "1.0 ", lt},      // even a trailing space is "more version"
    {"1.0 beta", "1.0", gt},  // only the first extra part counts, and it is a space
    {"1.0#1", "1.0", gt},
    {"1.0_1", "1.0", gt},
    {"1.0,1", "1.0", gt},
    {"1.0 (1234)", "1.0 (1235)", lt},
    {"1_0", "1:0", eq},  // any separator matches any other
    {"1 0", "1/0", eq},
    {"1.0 (5)", "1.0 [5]", eq},
    {"1.0  (5)", "1.0 (5)", lt},  // each separator is its own part: "(" then meets "5"
    {"1a1", "1a.", gt},           // a number beats a separator
    {"1a.", "1a1", lt},
    {"1_1", "1_a", gt},  // and a letter loses to anything
    {"1_a", "1_1", lt},
    {"1_", "1a", gt},
    {"(", "a", gt},
    // Separators against a leading dash: "left is older" both ways, so not antisymmetric.
    {" 1", "-1", lt},
    {"-1", " 1", lt},
    {"(", "-", lt},
    {"-", "(", lt},
};

constexpr Case symbol_cases[] = {
    // ASCII symbols are letters here: semver build metadata reads as a pre-release.
    {"1.0+1", "1.0", lt},
    {"1.0~1", "1.0", lt},
    {"1.0b+1", "1.0b1", gt},  // "b+" is one part, longer than "b"
    {"1.0+", "1.0", lt},
    {"1.0=", "1.0", lt},
    // Other control characters are letters too, but U+0085 and U+0009-U+000D are whitespace.
    {"1.0\x01", "1.0", lt},
    {"1.0\x7f", "1.0", lt},
    {"1.0\t", "1.0", gt},
    {"1.0\r\n", "1.0", gt},
    {"1.0\u0085", "1.0", gt},
};

constexpr Case number_cases[] = {
    // Parsed as signed 64-bit, saturating: everything at or past the maximum is equal.
    {"99999999999999999999", "99999999999999999998", eq},
    {"9223372036854775807", "9223372036854775808", eq},
    {"9223372036854775806", "9223372036854775807", lt},
    {"9223372036854775807", "9223372036854775806", gt},
    {"1.99999999999999999999", "1.9223372036854775806", gt},
    {"0000000000000000000000000001", "1", eq},  // leading zeros are not an overflow
    {"00000000000000000000000000010", "9", gt},
};

constexpr Case empty_cases[] = {
    {"", "", eq},  {"", "0", eq},  {"0", "", eq},
    {"", "1", lt}, {"1", "", gt},  {"", "a", gt},  // "a" is a pre-release of nothing
    {"a", "", lt}, {"a", "0", lt}, {"", " ", lt},
};

constexpr Case unicode_cases[] = {
    // Non-ASCII letters are letters.
    {"1.0\u00e9", "1.0", lt},
    {"1.0\u03b2", "1.0\u03b1", gt},
    // Non-ASCII whitespace and punctuation are separators.
    {"1.0\u00a0(5)", "1.0", gt},
    {"1.0\u3000(5)", "1.0", gt},
    {"1.0\u2028", "1.0", gt},
    {"1.0\u00ab5\u00bb", "1.0", gt},
    {"1.0\u20145", "1.0", gt},  // em dash is punctuation, not the version-ending '-'
    {"1.0\u30015", "1.0", gt},
    {"1.0\uff085\uff09", "1.0", gt},
    {"1_0", "1\u00b70", eq},
    // Symbols outside ASCII stay letters.
    {"1.0\u00a9", "1.0", lt},
    {"1.0\u20ac", "1.0", lt},
    {"1.0\u2044", "1.0", lt},  // fraction slash is a symbol, in the middle of punctuation
    {"1.0\uff0b", "1.0", lt},  // fullwidth '+'
    // Only ASCII digits are numbers; other decimal digits are letters.
    {"1.0\u0663", "1.0", lt},
    {"\u0661", "1", lt},
    // UTF-16 code-unit order: a character outside the BMP (a surrogate pair) sorts below U+E000,
    // though its code point is higher.
    {"1.0\U0001F600", "1.0\uE000", lt},
    {"1.0\U0001F600", "1.0\uFFFD", lt},
    {"1.0\U0001F600", "1.0", lt},  // the surrogates are letters
    {"1.0\U0001F6001", "1.0\U0001F6002", lt},
    // Malformed UTF-8 becomes U+FFFD, a symbol.
    {"1.0\xff", "1.0", lt},
    {"1.0\xff", "1.0\xef\xbf\xbd", eq},
    {"1.0\xc3", "1.0\xef\xbf\xbd", eq},
    {"1.0\xed\xa0\x80", "1.0\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", eq},  // encoded surrogate
    {"1.0\xc0\xae", "1.0\xef\xbf\xbd\xef\xbf\xbd", eq},                  // overlong '.'
};

INSTANTIATE_TEST_SUITE_P(Numbers, VersionOrdering, testing::ValuesIn(numeric_cases));
INSTANTIATE_TEST_SUITE_P(PreReleases, VersionOrdering, testing::ValuesIn(prerelease_cases));
INSTANTIATE_TEST_SUITE_P(DashSuffix, VersionOrdering, testing::ValuesIn(dash_cases));
INSTANTIATE_TEST_SUITE_P(Balancing, VersionOrdering, testing::ValuesIn(balancing_cases));
INSTANTIATE_TEST_SUITE_P(Separators, VersionOrdering, testing::ValuesIn(separator_cases));
INSTANTIATE_TEST_SUITE_P(Symbols, VersionOrdering, testing::ValuesIn(symbol_cases));
INSTANTIATE_TEST_SUITE_P(LargeNumbers, VersionOrdering, testing::ValuesIn(number_cases));
INSTANTIATE_TEST_SUITE_P(EmptyStrings, VersionOrdering, testing::ValuesIn(empty_cases));
INSTANTIATE_TEST_SUITE_P(Unicode, VersionOrdering, testing::ValuesIn(unicode_cases));

// Each ASCII character the framework counts as punctuation separates ("1.0" then more version), and
// each ASCII symbol is a letter ("1.0" then a pre-release).
TEST(VersionCharacterClasses, AsciiPunctuationSeparatesAndSymbolsAreLetters) {
    for (const char c : std::string_view("!\"#%&'()*,/:;?@[\\]_{}")) {
        const std::string version = std::string("1.0") + c + "1";
        EXPECT_EQ(compare_versions(version, "1.0"), gt) << version;
        EXPECT_EQ(compare_versions(version, "1.0 1"), eq) << version;
    }
    for (const char c : std::string_view("$+<=>^`|~")) {
        const std::string version = std::string("1.0") + c + "1";
        EXPECT_EQ(compare_versions(version, "1.0"), lt) << version;
        EXPECT_EQ(compare_versions(version, "1.0a1"), c < 'a' ? lt : gt) << version;
    }
}

TEST(VersionCharacterClasses, EveryUnicodeSpaceSeparates) {
    for (const std::string_view space :
         {"\u0020", "\u00a0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
          "\u2006", "\u2007", "\u2008", "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f",
          "\u3000", "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085"}) {
        const std::string version = std::string("1.0") + std::string(space) + "(1)";
        EXPECT_EQ(compare_versions(version, "1.0 (1)"), eq) << version;
    }
    // Zero-width space is a format character, not a space: a letter.
    EXPECT_EQ(compare_versions("1.0\u200b", "1.0"), lt);
}

// Versions in ascending order; versions in the same group are equal. Every pair is checked both
// ways, which also proves antisymmetry and transitivity on well-formed versions.
TEST(VersionOrderingConsistency, WellFormedVersionsFormOneOrder) {
    const std::vector<std::vector<std::string_view>> ascending = {
        {"", "0", "0.0"},
        {"0.9"},
        {"1.0a1"},
        {"1.0b1", "1.0.0b1", "1b1"},
        {"1.0b2"},
        {"1.0b10", "1.0b010"},
        {"1.0rc1"},
        {"1", "1.0", "1.0.0", "1.0-hotfix", "1.0.0-2"},
        {"1.0 (1234)", "1.0.0 (1234)"},
        {"1.0 (1235)"},
        {"1.0.1"},
        {"1.1", "1.01"},
        {"1.10"},
        {"2.0"},
        {"10.0"},
        {"201210251627"},
        {"9223372036854775807", "99999999999999999999"},
    };
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            const Ordering expected = i < j ? lt : i == j ? eq : gt;
            for (const auto left : ascending[i]) {
                for (const auto right : ascending[j]) {
                    EXPECT_EQ(compare_versions(left, right), expected) << '"' << left << "\" vs \"" << right << '"';
                }
            }
        }
    }
}

// Without a leading dash, swapping the sides always reverses the result, even for odd input.
TEST(VersionOrderingConsistency, AntisymmetricWithoutLeadingDash) {
    const std::vector<std::string_view> versions = {
        "",
        "0",
        "1",
        "1.0",
        "1.0.0",
        "1.",
        ".1",
        "0.0.1",
        " 1.0",
        "1,0",
        "v2.0",
        "1.0 beta",
        "1.0b1",
        "1.0+1",
        "1.0#1",
        "1.0  (5)",
        "1.0 (5)",
        "1a.",
        "1a1",
        "1_a",
        "a",
        "(",
        " ",
        "1.5-abc",
        "3.3b1 (5902)",
        "99999999999999999999",
        "1.0\u00e9",
        "1.0\U0001F600",
    };
    for (const auto left : versions) {
        EXPECT_EQ(compare_versions(left, left), eq) << '"' << left << '"';
        for (const auto right : versions) {
            EXPECT_EQ(compare_versions(left, right), reversed(compare_versions(right, left)))
                << '"' << left << "\" vs \"" << right << '"';
        }
    }
}

// The one documented break: a leading dash against a separator is "older" from both sides, so the
// comparator must not be handed to std::sort on unchecked input.
TEST(VersionOrderingConsistency, LeadingDashAgainstSeparatorIsOlderBothWays) {
    EXPECT_EQ(compare_versions(" 1", "-1"), lt);
    EXPECT_EQ(compare_versions("-1", " 1"), lt);
}

}  // namespace
}  // namespace kestrova::protocol
