// Who is let in to a release when: the phases of a rollout (the update framework's
// sparkle:phasedRolloutInterval, seven groups of users let in one after another from the item's
// pubDate) and the channels a copy follows. The group comes from a random number that each user
// keeps in the state folder and that is never sent anywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::protocol {

// Group 0 is let in at the item's pubDate, group g after g intervals; the last group waits six.
inline constexpr int rollout_groups = 7;

// The group a user's random number puts them in, spread evenly over every group.
int rollout_group_of(std::uint64_t random_number);

// Whether group `group` may have an item published at `published` (seconds since 1970) and let in
// one group per `interval` seconds, at `now`.
bool rollout_group_is_due(std::int64_t published, std::int64_t interval, int group, std::int64_t now);

// An RSS pubDate (RFC 822 with four- or two-digit years, as RFC 1123 and feeds in the wild write
// it: "Wed, 09 Dec 2026 18:43:34 +0000", the day name and the seconds optional, zones as
// +hhmm/-hhmm, UT, GMT, Z or the American letters) as seconds since 1970; nothing when it is not
// one.
std::optional<std::int64_t> parse_rfc822_date(std::string_view text);

// <state directory>/kestrova-updater/<identifier>.rollout, which holds the user's random number.
// Nothing without a state directory or with an identifier that cannot name a file.
std::optional<std::filesystem::path> rollout_number_file(const std::optional<std::filesystem::path>& state_directory,
                                                         std::string_view identifier);

// The user's random number: the one `file` holds, or else a new one from the system's random
// source, which is kept there when the file does not exist yet (a copy that starts at the same
// moment keeps whichever number was written first, and both use that one). `kept` says whether
// the number returned is the file's; without a file (or one that cannot be written) every call
// draws a new number.
struct RolloutNumber {
    std::uint64_t value = 0;
    bool kept = false;
};
RolloutNumber user_rollout_number(const std::optional<std::filesystem::path>& file);

// --- Channels ---------------------------------------------------------------------------------------

// The channels a list names: names apart by commas, white space or line ends; blank names and lines
// that start with '#' are skipped, and a name given twice counts once.
std::vector<std::string> parse_channel_list(std::string_view text);

// Whether `name` can be a channel: nonempty, at most 64 bytes, of ASCII letters, digits, '.', '_'
// and '-'. Names that cannot travel through a list are refused where they are given.
bool is_channel_name(std::string_view name);

// <state directory>/kestrova-updater/<identifier>.channels: the channels this user follows besides
// those of the bundle, one list as parse_channel_list reads it.
std::optional<std::filesystem::path> user_channels_file(const std::optional<std::filesystem::path>& state_directory,
                                                        std::string_view identifier);

// The channels of the user's file; nothing followed when it is missing, not a regular file or
// larger than any list needs.
std::vector<std::string> read_user_channels(const std::optional<std::filesystem::path>& file);

}  // namespace kestrova::protocol
