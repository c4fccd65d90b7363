// Signing a release site's appcast.xml and metadata.properties, for a release and for a refresh
// that re-signs the site's files without a new version, so that clients that require a signed feed
// can tell a fresh site from a forged, replayed or frozen one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "protocol/ed25519.h"
#include "protocol/signed_feed.h"

namespace kestrova::pack {

// The longest expiry --expires-in takes, in days (ten years): longer is no expiry in all but name.
inline constexpr int max_expiry_days = 3650;

// The stamp of the site's next files, signed at `now` (seconds since 1970): a serial above those of
// the site's current files, and never below `now` itself, so that a site rebuilt from nothing
// still goes forward for clients that saw the old one.
protocol::FeedStamp next_feed_stamp(std::optional<std::string_view> appcast, std::optional<std::string_view> metadata,
                                    std::string identifier, std::int64_t now, std::optional<int> expires_in_days);

// An exclusive lock on the site directory itself (flock), so it leaves no file behind. A run that
// waited for it checks that the path still names the directory it locked: the run before may have
// removed the empty site it had made.
class SiteLock {
public:
    explicit SiteLock(const std::filesystem::path& site);

private:
    std::optional<kestrova::FileDescriptor> fd_;
};

struct RefreshOptions {
    std::filesystem::path site;
    std::filesystem::path key_file;
    std::optional<std::filesystem::path> next_key_file;
    std::optional<int> expires_in_days;
};

// Re-signs the site's appcast.xml and metadata.properties with a new serial and signing time, the
// files' content unchanged. Both must carry a signature by one of the keys already: a refresh
// never vouches for what a release did not write. Throws PackError.
void refresh_release_site(const RefreshOptions& options);

}  // namespace kestrova::pack
