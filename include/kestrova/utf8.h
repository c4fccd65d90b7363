// UTF-8 conversions between what the launcher is given (bytes, usually UTF-8) and what the JVM's
// string functions read and write (modified UTF-8).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// The UTF-16 surrogate pair that stands for `c`, a character above U+FFFF.
struct SurrogatePair {
    char16_t high;
    char16_t low;
};
constexpr SurrogatePair surrogate_pair(char32_t c) {
    const char32_t v = c - 0x10000;
    return {static_cast<char16_t>(0xD800 + (v >> 10)), static_cast<char16_t>(0xDC00 + (v & 0x3FF))};
}

// Standard UTF-8 to the JVM's modified UTF-8: characters outside the Basic Multilingual Plane become
// surrogate pairs of three bytes each. Bytes that are not valid UTF-8 become U+FFFD.
std::string to_modified_utf8(std::string_view utf8);

// The JVM's modified UTF-8 back to standard UTF-8: surrogate pairs joined, the two-byte NUL and lone
// surrogates and malformed bytes become U+FFFD.
std::string from_modified_utf8(std::string_view modified);

// Decodes the character that starts at `pos` (which must be inside `text`) and moves `pos` past it.
// Only well-formed UTF-8 counts: shortest form, no surrogates, at most U+10FFFF. On a malformed
// sequence it gives nothing and moves `pos` past one byte, so a loop over a text always ends.
std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of the scalar value `c` (never a surrogate, at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Whether `text` is well-formed UTF-8 throughout (the empty text is).
bool is_valid_utf8(std::string_view text);

// Replaces every malformed sequence of `text` with U+FFFD, keeping valid UTF-8 as it is.
std::string sanitize_utf8(std::string_view text);

}  // namespace kestrova
