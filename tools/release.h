// A release site for the updater: the bundle's archive, the appcast that offers it and the
// metadata file the launcher's update gate reads, in one directory any static web server can serve.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// `text` percent-encoded as one URL path segment (all but ASCII letters, digits and "-._~").
std::string url_path_segment(std::string_view text);

struct ReleaseOptions {
    std::filesystem::path bundle;  // NAME.app
    std::filesystem::path key_file;
    // The key of the releases after this one: the bundle carries its public half, and this release,
    // signed with key_file, is how installed copies learn it.
    std::optional<std::filesystem::path> next_key_file;
    std::filesystem::path site;
    std::string download_url_prefix;
    std::optional<std::string> release_notes_url;
    std::optional<std::int64_t> source_date_epoch;  // every time in the release, when set
    // Deltas from at most this many of the newest earlier versions whose archives the site holds.
    std::size_t deltas = 5;
    // How long the signed appcast and metadata count as fresh; nothing: always. The signing time is
    // the clock's, SOURCE_DATE_EPOCH or not: freshness is about when the site was vouched for.
    std::optional<int> expires_in_days;
    // The release notes' file, whose text the item's <description> carries.
    std::optional<std::filesystem::path> release_notes_file;
    std::optional<std::string> channel;
    std::optional<std::int64_t> phased_rollout_interval;
    bool critical_update = false;
};

// The largest release notes file taken: the updater shows a few screens of it at most.
inline constexpr std::size_t max_release_notes_bytes = std::size_t{64} * 1024;
// The longest interval between rollout groups taken: a year.
inline constexpr std::uint32_t max_phased_rollout_interval = 365u * 24 * 3600;

// Writes site/NAME-VERSION.tar.gz, site/NAME-VERSION-from-OLD.delta for each earlier version of
// `deltas` (signed like the archive and listed in the item), site/appcast.xml and site/metadata.properties, each under a
// temporary name first and renamed into place once all three are complete. Every refusal is
// decided before anything is written, and an appcast that would outgrow what the updater reads
// is refused. Runs on one site take turns. Returns the archive's path. Throws PackError.
std::filesystem::path make_release(const ReleaseOptions& options);

}  // namespace kestrova::pack
