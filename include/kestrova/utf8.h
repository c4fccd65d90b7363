// UTF-8 conversions between what the launcher is given (bytes, usually UTF-8) and what the JVM's
// string functions read and write (modified UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace kestrova {

// Standard UTF-8 to the JVM's modified UTF-8: characters outside the Basic Multilingual Plane become
// surrogate pairs of three bytes each. Bytes that are not valid UTF-8 become U+FFFD.
std::string to_modified_utf8(std::string_view utf8);

// The JVM's modified UTF-8 back to standard UTF-8: surrogate pairs joined, the two-byte NUL and lone
// surrogates and malformed bytes become U+FFFD.
std::string from_modified_utf8(std::string_view modified);

// Replaces every malformed sequence of `text` with U+FFFD, keeping valid UTF-8 as it is.
std::string sanitize_utf8(std::string_view text);

}  // namespace kestrova
