#include "protocol/version_comparator.h"

#include "kestrova/utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kestrova::protocol {

namespace {

// The framework compares NSStrings, whose characters are UTF-16 code units, so a character outside
// the Basic Multilingual Plane is two units here too and each is classified on its own.
std::u16string to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        // One replacement per rejected byte: the decoder resynchronises on the next one.
        const char32_t value = decode_utf8(utf8, pos).value_or(U'\uFFFD');
        if (value < 0x10000) {
            out += static_cast<char16_t>(value);
        } else {
            const auto [high, low] = surrogate_pair(value);
            out += high;
            out += low;
        }
    }
    return out;
}

enum class CharClass { period, dash, number, whitespace, punctuation, string };

bool is_separator(CharClass c) {
    return c == CharClass::period || c == CharClass::whitespace || c == CharClass::punctuation;
}

struct CodeRange {
    char16_t first;
    char16_t last;
};

// Every Z* code point (Zs, Zl, Zp) plus the controls U+0009-U+000D and U+0085: the framework's
// whitespace-and-newline set.
constexpr CodeRange whitespace_ranges[] = {
    {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

// General categories P* (connector, dash, open, close, initial, final and other punctuation).
// ASCII and Latin-1 are complete. Beyond that this covers the blocks version strings plausibly
// contain: General and Supplemental Punctuation, CJK Symbols and Punctuation, the CJK
// vertical/compatibility/small forms, fullwidth ASCII punctuation, and the common marks of Greek,
// Armenian, Hebrew, Arabic and Devanagari. Punctuation of other scripts falls to STRING; the
// symbols interleaved with these blocks (S*: U+2044, U+2052, U+2E50, fullwidth $ + < = > ^ ` | ~)
// are left out on purpose, as they are STRING in the framework too.
constexpr CodeRange punctuation_ranges[] = {
    {0x0021, 0x0023}, {0x0025, 0x002A}, {0x002C, 0x002F}, {0x003A, 0x003B}, {0x003F, 0x0040},
    {0x005B, 0x005D}, {0x005F, 0x005F}, {0x007B, 0x007B}, {0x007D, 0x007D}, {0x00A1, 0x00A1},
    {0x00A7, 0x00A7}, {0x00AB, 0x00AB}, {0x00B6, 0x00B7}, {0x00BB, 0x00BB}, {0x00BF, 0x00BF},
    {0x037E, 0x037E}, {0x0387, 0x0387},                                                        // Greek
    {0x055A, 0x055F}, {0x0589, 0x058A},                                                        // Armenian
    {0x05BE, 0x05BE}, {0x05C0, 0x05C0}, {0x05C3, 0x05C3}, {0x05C6, 0x05C6},                    // Hebrew
    {0x05F3, 0x05F4}, {0x060C, 0x060D}, {0x061B, 0x061B}, {0x061D, 0x061F}, {0x066A, 0x066D},  // Arabic
    {0x06D4, 0x06D4}, {0x0964, 0x0965}, {0x0970, 0x0970},                                      // Devanagari
    {0x2010, 0x2027}, {0x2030, 0x2043}, {0x2045, 0x2051}, {0x2053, 0x205E},                    // General Punctuation
    {0x207D, 0x207E}, {0x208D, 0x208E},                                                        // super/subscript ( )
    {0x2E00, 0x2E2E}, {0x2E30, 0x2E4F}, {0x2E52, 0x2E5D},                    // Supplemental Punctuation
    {0x3001, 0x3003}, {0x3008, 0x3011}, {0x3014, 0x301F}, {0x3030, 0x3030},  // CJK
    {0x303D, 0x303D}, {0x30A0, 0x30A0}, {0x30FB, 0x30FB}, {0xFE10, 0xFE19}, {0xFE30, 0xFE52},
    {0xFE54, 0xFE61}, {0xFE63, 0xFE63},  // CJK forms
    {0xFE68, 0xFE68}, {0xFE6A, 0xFE6B}, {0xFF01, 0xFF03}, {0xFF05, 0xFF0A}, {0xFF0C, 0xFF0F},
    {0xFF1A, 0xFF1B},  // fullwidth
    {0xFF1F, 0xFF20}, {0xFF3B, 0xFF3D}, {0xFF3F, 0xFF3F}, {0xFF5B, 0xFF5B}, {0xFF5D, 0xFF5D},
    {0xFF5F, 0xFF65},
};

template <std::size_t N>
bool in_ranges(char16_t c, const CodeRange (&ranges)[N]) {
    return std::any_of(std::begin(ranges), std::end(ranges),
                       [c](const CodeRange& r) { return r.first <= c && c <= r.last; });
}

// The checks run in the framework's order, so '-' and '.' never reach the punctuation table.
// NUMBER is ASCII digits only: the framework's value for other Nd digits is unknown, so they fall to
// STRING rather than being given a guessed value.
CharClass classify(char16_t c) {
    if (c == u'.') return CharClass::period;
    if (c == u'-') return CharClass::dash;
    if (c >= u'0' && c <= u'9') return CharClass::number;
    if (in_ranges(c, whitespace_ranges)) return CharClass::whitespace;
    if (in_ranges(c, punctuation_ranges)) return CharClass::punctuation;
    return CharClass::string;
}

struct Part {
    std::u16string_view text;  // into the decoded input, or a static "0" / "." inserted by balancing
    CharClass kind;
};

std::vector<Part> split(std::u16string_view s) {
    std::vector<Part> parts;
    if (s.empty()) return parts;
    // The first unit always opens a part, even a '-': only a later '-' ends the version.
    std::size_t start = 0;
    CharClass previous = classify(s[0]);
    CharClass part_kind = previous;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const CharClass current = classify(s[i]);
        if (current == CharClass::dash) {
            // Whatever follows (a commit hash, a package revision) is not part of the version.
            s = s.substr(0, i);
            break;
        }
        if (current != previous || is_separator(previous)) {
            parts.push_back({s.substr(start, i - start), part_kind});
            start = i;
            part_kind = current;
        }
        previous = current;
    }
    parts.push_back({s.substr(start), part_kind});
    return parts;
}

std::size_t leading_numeric_run(const std::vector<Part>& parts) {
    const auto end = std::find_if(parts.begin(), parts.end(), [](const Part& p) {
        return p.kind != CharClass::number && p.kind != CharClass::period;
    });
    return static_cast<std::size_t>(end - parts.begin());
}

// Pads the shorter leading run of numbers and periods to the longer one's shape, with "0" for each
// number and "." for each period, in front of whatever followed it. This is what makes "1.0" equal
// "1.0.0" and "1.0pre1" equal "1.0.0pre1".
void balance(std::vector<Part>& a, std::vector<Part>& b) {
    static constexpr std::u16string_view zero = u"0";
    static constexpr std::u16string_view period = u".";
    const std::size_t run_a = leading_numeric_run(a);
    const std::size_t run_b = leading_numeric_run(b);
    if (run_a == run_b) return;
    auto& shorter = run_a < run_b ? a : b;
    const auto& longer = run_a < run_b ? b : a;
    const std::size_t from = std::min(run_a, run_b);
    const std::size_t to = std::max(run_a, run_b);
    std::vector<Part> padding;
    for (std::size_t i = from; i < to; ++i) {
        padding.push_back(longer[i].kind == CharClass::period ? Part{period, CharClass::period}
                                                              : Part{zero, CharClass::number});
    }
    shorter.insert(shorter.begin() + static_cast<std::ptrdiff_t>(from), padding.begin(), padding.end());
}

// Signed 64-bit, saturating at the maximum: any two numbers at or beyond it compare equal.
std::int64_t number_value(std::u16string_view digits) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (const char16_t c : digits) {
        const int digit = c - u'0';
        if (value > (max - digit) / 10) return max;
        value = value * 10 + digit;
    }
    return value;
}

Ordering order_of(auto left, auto right) {
    if (left < right) return Ordering::ascending;
    if (right < left) return Ordering::descending;
    return Ordering::same;
}

bool same_class(CharClass a, CharClass b) { return a == b || (is_separator(a) && is_separator(b)); }

Ordering compare_parts(const Part& a, const Part& b) {
    if (same_class(a.kind, b.kind)) {
        switch (a.kind) {
            case CharClass::number:
                return order_of(number_value(a.text), number_value(b.text));
            case CharClass::string:
                // Code-unit order, case-sensitive. The framework also treats canonically equivalent
                // sequences (precomposed vs combining accents) as equal; that is not reproduced here.
                return order_of(a.text.compare(b.text), 0);
            default:
                return Ordering::same;  // separators are interchangeable, as are dashes
        }
    }
    if (b.kind == CharClass::string) return Ordering::descending;
    if (a.kind == CharClass::string) return Ordering::ascending;
    // A number beats a separator or a dash; every other mix says "left is older", whichever side is
    // which, so separator-vs-dash is ascending in both directions.
    return a.kind == CharClass::number ? Ordering::descending : Ordering::ascending;
}

}  // namespace

Ordering compare_versions(std::string_view a, std::string_view b) {
    const std::u16string text_a = to_utf16(a);
    const std::u16string text_b = to_utf16(b);
    std::vector<Part> parts_a = split(text_a);
    std::vector<Part> parts_b = split(text_b);
    balance(parts_a, parts_b);

    const std::size_t shared = std::min(parts_a.size(), parts_b.size());
    for (std::size_t i = 0; i < shared; ++i) {
        if (const Ordering o = compare_parts(parts_a[i], parts_b[i]); o != Ordering::same) return o;
    }
    if (parts_a.size() == parts_b.size()) return Ordering::same;

    // Only the first extra part decides: letters there mark a pre-release ("1.0b1" < "1.0"),
    // anything else is more version ("1.0" < "1.0.1", "1.0" < "1.0 (1234)").
    const bool a_longer = parts_a.size() > parts_b.size();
    const Part& extra = a_longer ? parts_a[shared] : parts_b[shared];
    const bool longer_is_newer = extra.kind != CharClass::string;
    return a_longer == longer_is_newer ? Ordering::descending : Ordering::ascending;
}

}  // namespace kestrova::protocol
