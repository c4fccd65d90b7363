#include "protocol/metadata.h"

#include "kestrova/text.h"
#include "protocol/appcast.h"
#include "protocol/rollout.h"
#include "protocol/version_comparator.h"

#include <charconv>
#include <cstddef>

namespace kestrova::protocol {

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
            rollout.published = protocol::parse_rfc822_date(value);
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

std::string metadata_properties(std::string_view version) {
    // app.version + "." + app.revision is what the gate compares, so the split at the last "."
    // gives back the very text; without a ".", the revision is empty and "7." orders as "7".
    const auto dot = version.rfind('.');
    const std::string_view major = dot == std::string_view::npos ? version : version.substr(0, dot);
    const std::string_view revision = dot == std::string_view::npos ? std::string_view{} : version.substr(dot + 1);
    std::string text = "app.version=" + std::string(major) + "\napp.revision=" + std::string(revision) + "\n";
    const auto read_back = metadata_version(parse_metadata(text));
    if (!read_back || protocol::compare_versions(*read_back, version) != protocol::Ordering::same ||
        version.find_first_of("=\n\r") != std::string_view::npos)
        throw MetadataWriteError(std::string(version));
    return text;
}

std::string metadata_properties(std::string_view version, const ReleaseRollout& rollout) {
    std::string text = metadata_properties(version);
    // A date holds no '=' or line end; it is the item's own, which the release wrote.
    if (rollout.pub_date && rollout.pub_date->find_first_of("=\n\r") == std::string::npos)
        text += "app.pubDate=" + *rollout.pub_date + "\n";
    if (rollout.phased_rollout_interval)
        text += "app.phasedRolloutInterval=" + std::to_string(*rollout.phased_rollout_interval) + "\n";
    if (rollout.critical_update) text += "app.criticalUpdate=true\n";
    return text;
}

std::string metadata_for_appcast(std::string_view appcast) {
    const protocol::Appcast parsed = protocol::parse_appcast(appcast);
    const protocol::AppcastItem* newest = protocol::best_item(parsed);
    if (newest == nullptr) return {};
    ReleaseRollout rollout;
    rollout.pub_date = newest->pub_date;
    rollout.phased_rollout_interval = newest->phased_rollout_interval;
    rollout.critical_update = newest->critical_update && !newest->critical_below_version;
    return metadata_properties(newest->version, rollout);
}

}  // namespace kestrova::protocol
