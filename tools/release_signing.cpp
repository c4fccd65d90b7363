#include "tools/release_signing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "tools/ed25519_keys.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;
namespace ed = protocol::ed25519;

namespace {

constexpr std::string_view msg_refresh_missing =
    "the site has no {} to refresh in \"{}\"; make a release into it first (kestrova-pack release BUNDLE.app ...)";
constexpr std::string_view msg_refresh_unsigned =
    "the site's {} carries no signature of --key-file or --next-key-file, so a refresh would vouch for what no "
    "release wrote; make a release into the site with this key first";
constexpr std::string_view msg_refresh_mixed =
    "the site's appcast.xml is for {} and its metadata.properties for {}; make a release into the site to put "
    "them right";
constexpr std::string_view msg_cannot_refresh = "cannot refresh the site \"{}\": {}; check the permissions there";

constexpr std::int64_t seconds_per_day = 86400;

}  // namespace

protocol::FeedStamp next_feed_stamp(std::optional<std::string_view> appcast, std::optional<std::string_view> metadata,
                                    std::string identifier, std::int64_t now, std::optional<int> expires_in_days) {
    protocol::FeedStamp stamp;
    stamp.serial = static_cast<std::uint64_t>(std::max<std::int64_t>(now, 1));
    for (const auto& [text, file] :
         {std::pair{appcast, protocol::FeedFile::appcast}, std::pair{metadata, protocol::FeedFile::metadata}}) {
        if (!text) continue;
        if (const auto current = protocol::read_signed_feed_file(*text, file))
            stamp.serial = std::max(stamp.serial, current->stamp.serial + 1);
    }
    stamp.signed_at = now;
    if (expires_in_days) stamp.expires_at = now + *expires_in_days * seconds_per_day;
    stamp.identifier = std::move(identifier);
    return stamp;
}

SiteLock::SiteLock(const fs::path& site) {
    for (;;) {
        fd_.emplace(::open(site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd_->get() < 0) throw std::system_error(errno, std::generic_category());
        int locked = 0;
        while ((locked = ::flock(fd_->get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) throw std::system_error(errno, std::generic_category());
        struct stat held {
        }, now{};
        if (::fstat(fd_->get(), &held) != 0) throw std::system_error(errno, std::generic_category());
        if (::stat(site.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino) return;
        fs::create_directories(site);
    }
}

void refresh_release_site(const RefreshOptions& options) {
    std::vector<ed::Seed> keys{read_key_file(options.key_file)};
    if (options.next_key_file) keys.push_back(read_key_file(*options.next_key_file));
    std::vector<ed::PublicKey> public_keys;
    public_keys.reserve(keys.size());
    for (const ed::Seed& key : keys) public_keys.push_back(ed::public_key_of(key));

    const fs::path appcast_path = options.site / "appcast.xml";
    const fs::path metadata_path = options.site / "metadata.properties";
    try {
        const SiteLock lock(options.site);
        std::string texts[2];
        std::optional<protocol::SignedFeedFile> files[2];
        const std::pair<fs::path, protocol::FeedFile> sources[2] = {{appcast_path, protocol::FeedFile::appcast},
                                                                    {metadata_path, protocol::FeedFile::metadata}};
        for (std::size_t i = 0; i < 2; ++i) {
            std::error_code ec;
            if (!fs::is_regular_file(sources[i].first, ec))
                throw PackError(
                    fill(msg_refresh_missing, {sources[i].first.filename().string(), options.site.string()}));
            const auto bytes = read_file(sources[i].first);
            texts[i].assign(bytes.begin(), bytes.end());
            files[i] = protocol::read_signed_feed_file(texts[i], sources[i].second);
            if (!files[i] || std::none_of(public_keys.begin(), public_keys.end(), [&](const ed::PublicKey& key) {
                    return protocol::is_signed_by(*files[i], key);
                }))
                throw PackError(fill(msg_refresh_unsigned, {sources[i].first.filename().string()}));
        }
        if (files[0]->stamp.identifier != files[1]->stamp.identifier)
            throw PackError(fill(msg_refresh_mixed, {files[0]->stamp.identifier, files[1]->stamp.identifier}));
        const protocol::FeedStamp stamp = next_feed_stamp(texts[0], texts[1], files[0]->stamp.identifier,
                                                          std::time(nullptr), options.expires_in_days);
        // The appcast first, as a release writes them: the gate never announces what the feed lacks.
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string signed_text = protocol::sign_feed_file(files[i]->body, sources[i].second, stamp, keys);
            write_file_atomically(sources[i].first, signed_text, 0644);
        }
    } catch (const std::system_error& e) {
        throw PackError(fill(msg_cannot_refresh, {options.site.string(), e.code().message()}));
    }
}

}  // namespace kestrova::pack
