// Text helpers shared by the launcher, the update framework and the packaging tool.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// The white space and line ends of Apple's whitespaceAndNewlineCharacterSet, which the settings
// and files the launcher reads are trimmed with: U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space_or_line_end(char32_t c);

// `text` without that white space at either end. Characters are decoded as UTF-8, so a byte of a
// multibyte character is never taken for U+0085 or U+00A0; bytes that are not UTF-8 are kept and
// never count as white space. Linear in the text's length.
std::string_view trim_white_space(std::string_view text);

// A finite decimal number (an optional sign, digits, a fraction, an exponent) with white space
// allowed around it and nothing else; nothing otherwise ("0x10", "12s", "nan", "1e999").
std::optional<double> parse_decimal(std::string_view text);

// `pattern` with each `placeholder` in turn replaced by the next of `values`, passed through
// `escape` when there is one (to keep a message on one line whatever the values hold). A value is
// never expanded again. A placeholder beyond the values is left out: whoever reads the text learns
// nothing from the placeholder itself, and the text keeps its shape.
std::string fill_placeholders(std::string_view pattern, std::string_view placeholder,
                              std::initializer_list<std::string_view> values,
                              std::string (*escape)(std::string_view) = nullptr);

// The same with "{}" as the placeholder, as the user's messages are written.
inline std::string fill_placeholders(std::string_view pattern, std::initializer_list<std::string_view> values,
                                     std::string (*escape)(std::string_view)) {
    return fill_placeholders(pattern, "{}", values, escape);
}

// Where markup text goes: an element's text, or an attribute's value.
enum class MarkupPlace { text, attribute };

// `text` with the characters that mean something in XML, and so in Pango's markup, written as
// references: & < > " ' always; in an attribute also tab and the line ends, which a reader would
// otherwise turn into spaces. Bytes are kept as they are: whether the text may be markup at all
// (valid UTF-8, no control characters) is the caller's to decide.
std::string escape_markup(std::string_view text, MarkupPlace place = MarkupPlace::text);

// What keeps `text` out of an XML document: nothing, bytes that are not UTF-8, or a control
// character other than tab, newline and carriage return, which XML 1.0 cannot carry at all.
enum class MarkupFault { none, not_utf8, control_character };
MarkupFault markup_fault(std::string_view text);

}  // namespace kestrova
