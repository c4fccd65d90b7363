// Writing the appcast: a release's item added to the site's feed, everything else in the document
// carried through unchanged. The publisher's half of what appcast.h reads; the release tool turns
// its errors into its own messages.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/text.h"

namespace kestrova::protocol {

// A delta the item offers beside its archive, for the copies that have `from_version` installed.
struct ReleaseDelta {
    std::string from_version;  // sparkle:deltaFrom
    std::string url;
    std::uint64_t length = 0;
    std::string signature;  // base64 Ed25519 signature of the delta's bytes
};

// One appcast item, as a release writes it.
struct ReleaseItem {
    std::string version;        // sparkle:version, the bundle's CFBundleVersion
    std::string short_version;  // sparkle:shortVersionString, for display
    std::string url;            // the enclosure's address
    std::uint64_t length = 0;   // the archive's size in bytes
    std::string signature;      // base64 Ed25519 signature of the archive
    std::optional<std::string> release_notes_url;
    std::optional<std::string> description;  // the release notes' text, plain or simple HTML
    std::string pub_date;                    // RFC 822 date
    std::optional<std::string> channel;      // <sparkle:channel>; nothing: the default channel
    // <sparkle:phasedRolloutInterval>, seconds; nothing: everyone at once.
    std::optional<std::int64_t> phased_rollout_interval;
    bool critical_update = false;      // <sparkle:criticalUpdate/>
    std::vector<ReleaseDelta> deltas;  // <sparkle:deltas>, newest base first
};

// Why appcast_with_item wrote nothing. what() is, by kind: why the appcast cannot be read; the
// newer version it offers; the text that XML cannot carry (markup_fault), which goes to place().
class AppcastWriteError : public std::runtime_error {
public:
    enum class Kind { unreadable, not_newer, bad_text };
    AppcastWriteError(Kind kind, const std::string& detail, MarkupPlace place = MarkupPlace::text)
        : std::runtime_error(detail), kind_(kind), place_(place) {}
    Kind kind() const { return kind_; }
    MarkupPlace place() const { return place_; }

private:
    Kind kind_;
    MarkupPlace place_;
};

// The appcast text with `item` added: `existing` is the current appcast (nothing: a new one is
// made, titled `title`). The new item comes first in the channel; older items and everything else
// in the document are kept, except items of the same version for this system, which it replaces.
// Throws AppcastWriteError when `existing` is not an appcast the updater would read, when it
// offers a newer version than `item`'s on the default channel or `item`'s own (a release must be
// the newest its followers can be offered), or when a text of the item cannot be written.
std::string appcast_with_item(std::optional<std::string_view> existing, std::string_view title,
                              const ReleaseItem& item);

// `when` as an RFC 822 date in UTC, as an item's pubDate is written ("Wed, 09 Dec 2026 22:00:00 +0000").
std::string rfc822_date(std::time_t when);

}  // namespace kestrova::protocol
