// An item's release notes as the update dialog shows them: plain text, never live HTML. The notes
// are the item's <description>, or the page its sparkle:releaseNotesLink names; both come from the
// update site, so whatever markup they hold is taken apart here into words and line breaks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::protocol {

// The most of the notes a dialog shows; the rest is cut, which the text then says.
inline constexpr std::size_t max_release_notes_text_bytes = std::size_t{16} * 1024;

// `notes` (UTF-8) as plain text of at most `limit` bytes. Text holding a tag ('<' and then a letter,
// '/', '!' or '?') is read as HTML: tags are dropped, with a line break for those that end a block
// (p, div, br, li, headings, table rows and the like) and a bullet for list items; what script,
// style, head and comments hold is dropped whole; runs of white space become one space; entities
// (the named ones notes use, and numeric ones) are decoded, unknown ones kept as written. Other
// text is kept as it stands. Control characters but line breaks and tabs are dropped either way,
// lines are trimmed, and blank lines never come more than one in a row. Longer text is cut at a
// whole character and ends in "\n…". Nothing when `notes` is not valid UTF-8 or holds no words.
std::optional<std::string> release_notes_text(std::string_view notes, std::size_t limit = max_release_notes_text_bytes);

// Whether a release notes link may be fetched: an http or https address. Anything else (a file on
// this machine, another scheme) is never opened for the site.
bool is_fetchable_notes_link(std::string_view link);

}  // namespace kestrova::protocol
