// The update site's metadata file (metadata.properties): where it is, and what it says. The release
// tool writes it beside the appcast; the launcher's gate downloads it and holds the launch when the
// version it announces is newer than the bundle's. Everything here is free of I/O so it can be
// tested alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrova::protocol {

// A sane bound for a file of two keys: a larger body is a transfer failure, not unbounded memory.
inline constexpr std::size_t max_metadata_bytes = 1 << 20;

// Key/value pairs of a metadata file. Looked up with string views too (std::less<>).
using Metadata = std::map<std::string, std::string, std::less<>>;

// The metadata file's address for a feed address: the feed address up to its last "/", then
// "/metadata.properties". Nothing when the address holds no "/" at all. Purely textual, so
// "https://host" gives "https://metadata.properties" (the scheme's second slash is the last "/").
std::optional<std::string> metadata_url_for_feed(std::string_view feed_url);

// Reads a metadata file's text (UTF-8; nothing = no text, as for a failed download or a body that is
// not valid UTF-8, see is_valid_utf8 in kestrova/utf8.h). The text is cut at every "\n"; a piece
// holding at least one "=" is an entry, any other piece is ignored. The key is the text before the
// first "=", the value the text between the first "=" and the second (or the end of the piece):
// whatever follows a second "=" is dropped. Key and value are trimmed at both ends of white space
// and line ends (trim_white_space in kestrova/text.h), so "\r\n" line ends work. There are no comments, escapes or
// quotes: "#a=b" is the key "#a". Empty keys and values are kept. When a key comes again, the last
// one wins. Bytes that are not UTF-8 are kept as they are and never count as white space.
// Runs in time linear in the text's length.
Metadata parse_metadata(std::optional<std::string_view> text);

// The version the metadata announces: app.version + "." + app.revision; nothing if either is missing
// (an empty value is present).
std::optional<std::string> metadata_version(const Metadata& metadata);

// The same version read straight from a metadata file's text, as parse_metadata would read it, but
// keeping only the two keys it needs: an update site's file of many keys costs no memory here.
std::optional<std::string> metadata_version(std::optional<std::string_view> text);

// How the version a metadata file announces is rolled out, from its app.pubDate (the item's RFC 822
// pubDate), app.phasedRolloutInterval (seconds) and app.criticalUpdate ("true"). A value that
// cannot be read counts as absent, as the appcast's reader has it.
struct MetadataRollout {
    std::optional<std::int64_t> published;  // seconds since 1970
    std::optional<std::int64_t> interval;
    bool critical = false;
};
MetadataRollout metadata_rollout(std::optional<std::string_view> text);

// --- Writing, for the release tool ---

// No metadata.properties can announce the version what() names: the gate would read it otherwise
// (a version with "=" or a line end, or white space at its ends).
class MetadataWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of metadata.properties for `version`: app.version and app.revision such that
// metadata_version reads back exactly `version`. Throws MetadataWriteError.
std::string metadata_properties(std::string_view version);

// What the gate needs to know of the rollout of the version metadata.properties names.
struct ReleaseRollout {
    std::optional<std::string> pub_date;  // the item's pubDate
    std::optional<std::int64_t> phased_rollout_interval;
    bool critical_update = false;  // for every older copy
};
// metadata_properties(version) followed by app.pubDate, app.phasedRolloutInterval and
// app.criticalUpdate=true, each when the rollout says so.
std::string metadata_properties(std::string_view version, const ReleaseRollout& rollout);

// What metadata.properties says for an appcast: the newest item of the default channel, which is
// what every copy follows, and how it is rolled out. Empty when the default channel has no item.
// Throws AppcastError for an appcast the updater would not read, and MetadataWriteError.
std::string metadata_for_appcast(std::string_view appcast);

}  // namespace kestrova::protocol
