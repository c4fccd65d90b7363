#include "protocol/metadata.h"

#include "kestrova/text.h"
#include "protocol/rollout.h"

#include <charconv>
#include <cstddef>

namespace kestrova {

namespace {

constexpr std::string_view metadata_file_name = "metadata.properties";
constexpr std::string_view version_key = "app.version";
constexpr std::string_view revision_key = "app.revision";

}  // namespace

std::optional<std::string> metadata_url_for_feed(std::string_view feed_url) {
    const std::size_t slash = feed_url.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string url(feed_url.substr(0, slash + 1));
    url += metadata_file_name;
    return url;
}

namespace {

// Calls `entry(key, value)` for each entry of a metadata file's text, in order (see parse_metadata).
template <class Entry>
void for_each_metadata_entry(std::string_view rest, Entry entry) {
    while (true) {
        const std::size_t line_end = rest.find('\n');
        const std::string_view line = rest.substr(0, line_end);
        if (const std::size_t equals = line.find('='); equals != std::string_view::npos) {
            const std::string_view after = line.substr(equals + 1);
            const std::string_view key = trim_white_space(line.substr(0, equals));
            const std::string_view value = trim_white_space(after.substr(0, after.find('=')));
            entry(key, value);
        }
        if (line_end == std::string_view::npos) break;
        rest.remove_prefix(line_end + 1);
    }
}

}  // namespace

Metadata parse_metadata(std::optional<std::string_view> text) {
    Metadata metadata;
    if (!text) return metadata;
    for_each_metadata_entry(*text, [&](std::string_view key, std::string_view value) {
        metadata.insert_or_assign(std::string(key), std::string(value));
    });
    return metadata;
}

std::optional<std::string> metadata_version(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    // Views into the text; the last of each key wins, as in parse_metadata.
    std::optional<std::string_view> version, revision;
    for_each_metadata_entry(*text, [&](std::string_view key, std::string_view value) {
        if (key == version_key)
            version = value;
        else if (key == revision_key)
            revision = value;
    });
    if (!version || !revision) return std::nullopt;
    return std::string(*version) + "." + std::string(*revision);
}

MetadataRollout metadata_rollout(std::optional<std::string_view> text) {
    MetadataRollout rollout;
    if (!text) return rollout;
    for_each_metadata_entry(*text, [&](std::string_view key, std::string_view value) {
        if (key == "app.pubDate") {
            rollout.published = sparkle::parse_rfc822_date(value);
        } else if (key == "app.phasedRolloutInterval") {
            std::int64_t seconds = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            rollout.interval = error == std::errc{} && end == value.data() + value.size() && seconds > 0
                                   ? std::optional<std::int64_t>(seconds)
                                   : std::nullopt;
        } else if (key == "app.criticalUpdate") {
            rollout.critical = value == "true";
        }
    });
    return rollout;
}

std::optional<std::string> metadata_version(const Metadata& metadata) {
    const auto version = metadata.find(version_key);
    const auto revision = metadata.find(revision_key);
    if (version == metadata.end() || revision == metadata.end()) return std::nullopt;
    return version->second + "." + revision->second;
}

}  // namespace kestrova
