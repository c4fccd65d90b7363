// The update feed (an RSS 2.0 "appcast") as the update framework reads it, and the choice of the item
// to offer. Pure logic: the text comes from the caller, nothing is downloaded.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::protocol {

// The namespace of the update framework's own elements and attributes, matched by this URI whatever
// prefix the feed binds it to.
inline constexpr std::string_view sparkle_namespace_uri = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// The `sparkle:os` name this build answers to, which the platform backend's build defines. Items
// naming another system ("macos", "windows") are not for us; items without `sparkle:os` are for every
// system.
inline constexpr std::string_view this_operating_system = KESTROVA_FEED_OS_NAME;

// A delta the item offers beside its archive: <sparkle:deltas><enclosure sparkle:deltaFrom=...>.
struct DeltaEnclosure {
    std::string from_version;  // sparkle:deltaFrom, as written
    std::string url;
    std::optional<std::uint64_t> length;
    std::optional<std::string> ed_signature;
};

struct Enclosure {
    std::string url;
    std::optional<std::uint64_t> length;  // nothing when absent or not a decimal number
    std::string type;
    // sparkle:edSignature: base64 of the archive's Ed25519 signature, as written; nothing when absent.
    std::optional<std::string> ed_signature;
    // The deltas of the item this enclosure belongs to (of its first <sparkle:deltas>), which a
    // client that has one's base version installed may download instead.
    std::vector<DeltaEnclosure> deltas;
};

struct AppcastItem {
    std::string title;
    std::string link;
    std::optional<std::string> description;
    std::optional<std::string> pub_date;
    std::optional<Enclosure> enclosure;
    // Never empty: the enclosure's sparkle:version attribute, else the <sparkle:version> element, else
    // the last "_" piece of the enclosure file name without its extension.
    std::string version;
    // For display only: the enclosure's sparkle:shortVersionString attribute, else the element.
    std::optional<std::string> short_version;
    std::optional<std::string> os;       // the enclosure's sparkle:os attribute, as written
    std::optional<std::string> channel;  // <sparkle:channel>; nothing = the default channel
    // <sparkle:releaseNotesLink>, as written; nothing when absent or blank.
    std::optional<std::string> release_notes_link;
    // <sparkle:phasedRolloutInterval>: seconds between one rollout group and the next; nothing when
    // absent or not a whole number above zero.
    std::optional<std::int64_t> phased_rollout_interval;
    // <sparkle:criticalUpdate/>: every older copy is to take this item at once. With its
    // sparkle:version attribute, only copies older than that version are.
    bool critical_update = false;
    std::optional<std::string> critical_below_version;
};

struct Appcast {
    std::string title;  // /rss/channel/title
    std::vector<AppcastItem> items;
};

// The longest item version taken. Picking the newest item compares the best so far with every other
// item, at a cost that grows with the longer version: a hostile feed of one huge version and many
// items would hold the main thread for minutes. Real versions are a few dozen bytes.
inline constexpr std::size_t max_version_bytes = 256;

// Why a feed was refused: malformed XML (with Expat's message and line), a document type declaration,
// an item without a version, or one whose version is longer than max_version_bytes.
class AppcastError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a feed held in memory. Items are the `item` elements of /rss/channel (no namespace, as the
// XPath /rss/channel/item selects them); a document whose root is not <rss> has no items. Of each
// item only its direct children count, and of a child that appears more than once the first. Element
// texts (descendant text included) are trimmed of XML white space; an empty version source counts as
// absent. The enclosure file name comes from the URL's path (no query or fragment); percent escapes
// of printable ASCII in it are decoded, others are kept as written. A file name without "_" is one
// piece: "App.zip" gives "App", and "App_2.0.tar.gz" gives "2.0.tar".
//
// Nothing outside the text is ever read: any document type declaration is refused, so no entity but
// the five predefined ones (and character references) can be expanded.
// Throws AppcastError.
Appcast parse_appcast(std::string_view xml);

// Who a feed's items are chosen for.
struct ItemAudience {
    std::string_view os = this_operating_system;
    // The channels followed besides the default one (items without <sparkle:channel>).
    std::vector<std::string> channels;
    // The user's rollout group (0 to rollout_groups - 1) for a check the user did not ask for;
    // nothing for one the user asked for, which waits for no group.
    std::optional<int> rollout_group;
    std::int64_t now = 0;                // seconds since 1970, UTC: when the check runs
    std::string_view installed_version;  // to tell whom a critical update is critical for
};

// Whether `item` may be offered to `audience`: for its system, on a channel it follows, and, when
// the item is rolled out in phases and is not critical for the installed version, with its
// group's turn come (rollout_group_is_due).
bool is_offered(const AppcastItem& item, const ItemAudience& audience);

// The item to offer on `os` on the default channel: among the items without sparkle:os or naming
// `os` exactly, and without <sparkle:channel>, the first of the newest under compare_versions (a
// linear scan that replaces the best so far only with a newer one). Nothing when no item qualifies.
// The pointer is into `appcast`.
const AppcastItem* best_item(const Appcast& appcast, std::string_view os = this_operating_system);
// The same choice among the items is_offered lets `audience` have.
const AppcastItem* best_item(const Appcast& appcast, const ItemAudience& audience);

// What a check needs of a feed: parse_appcast followed by best_item, the same refusals and the same
// choice, but without keeping every item. Only the best so far is held while the feed is read, so a
// feed of a hundred thousand tiny items costs no more memory than one of a single item.
struct AppcastChoice {
    std::string title;
    std::size_t item_count = 0;
    std::optional<AppcastItem> best;
    // The newest version left out only because the audience's rollout group is not due for it yet.
    std::optional<std::string> newest_not_due;
};
AppcastChoice choose_from_appcast(std::string_view xml, std::string_view os = this_operating_system);
AppcastChoice choose_from_appcast(std::string_view xml, const ItemAudience& audience);

}  // namespace kestrova::protocol
