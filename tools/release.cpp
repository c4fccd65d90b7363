#include "tools/release.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/utf8.h"
#include "platform/property_list.h"
#include "protocol/appcast.h"
#include "protocol/appcast_writer.h"
#include "protocol/ed25519.h"
#include "protocol/feed_limits.h"
#include "protocol/metadata.h"
#include "protocol/version_comparator.h"
#include "tools/delta_files.h"
#include "tools/ed25519_keys.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"
#include "tools/release_deltas.h"
#include "tools/release_signing.h"
#include "tools/tar_archive.h"

namespace kestrova::pack {

namespace fs = std::filesystem;
namespace ed = protocol::ed25519;
using protocol::ReleaseDelta;
using protocol::ReleaseItem;

namespace {

constexpr std::string_view msg_not_a_bundle =
    "\"{}\" is not an application bundle (a NAME.app directory with Contents/Info.plist); name one";
constexpr std::string_view msg_no_version =
    "the bundle has no CFBundleVersion; rebuild it with kestrova-pack bundle --bundle-version";
constexpr std::string_view msg_bad_version_name =
    "CFBundleVersion \"{}\" cannot be part of a file name (it holds '/' or starts with '.'); use a plain version";
constexpr std::string_view msg_runtime_link =
    "the bundle's runtime \"{}\" is a link, not a copy: a release must carry its runtime; rebuild the "
    "bundle with --copy-runtime";
constexpr std::string_view msg_no_runtime =
    "the bundle has no runtime at \"{}\"; rebuild it with kestrova-pack bundle --copy-runtime";
constexpr std::string_view msg_no_public_key =
    "the bundle has no SUPublicEDKey, so it could never install an update; rebuild it with "
    "--public-ed-key (the key generate-keys printed)";
constexpr std::string_view msg_bad_public_key =
    "the bundle's SUPublicEDKey is not base64 of 32 bytes; rebuild it with --public-ed-key (the key "
    "generate-keys printed)";
constexpr std::string_view msg_wrong_key =
    "the bundle's SUPublicEDKey is not the public half of \"{}\", so the bundle could never verify this "
    "release; use the key file that goes with it, or rebuild the bundle with its public key (to change keys, "
    "see --next-key-file)";
constexpr std::string_view msg_same_next_key =
    "--next-key-file \"{}\" is the same key as --key-file; generate a new key with generate-keys";
constexpr std::string_view msg_old_key_in_bundle =
    "the bundle's SUPublicEDKey is still --key-file's public key, so the key would not change; rebuild the "
    "bundle with --public-ed-key of \"{}\" (generate-keys printed it)";
constexpr std::string_view msg_not_next_key =
    "the bundle's SUPublicEDKey is the public half of neither --key-file nor --next-key-file \"{}\"; rebuild "
    "the bundle with the next key's public half";
constexpr std::string_view msg_feed_too_large =
    "the appcast would grow to {} bytes, more than the {} the updater reads, and no installed copy could read it; "
    "remove old items from \"{}\"";
constexpr std::string_view msg_bad_appcast = "the site's appcast.xml cannot be read ({}); repair or remove it";
constexpr std::string_view msg_not_newer =
    "version {} is not newer than {}, the newest in the site's appcast.xml; raise --bundle-version";
constexpr std::string_view msg_bad_metadata_version =
    "CFBundleVersion \"{}\" cannot be written to metadata.properties (it holds '=' or a line end, or "
    "white space at its ends); use a plain version";
constexpr std::string_view msg_bad_release_notes =
    "--release-notes \"{}\" {}; give a UTF-8 text file of at most 64 KiB";
constexpr std::string_view msg_site_not_dir = "--site \"{}\" exists and is not a directory; name a directory";
constexpr std::string_view msg_cannot_write_site =
    "cannot write the release into \"{}\": {}; check the free space and permissions there";
constexpr std::string_view msg_empty_prefix = "--download-url-prefix needs the address the site is served at";

// The protocol's writers, their errors in this tool's words.

std::string appcast_text(std::optional<std::string_view> existing, std::string_view title, const ReleaseItem& item) {
    try {
        return protocol::appcast_with_item(existing, title, item);
    } catch (const protocol::AppcastWriteError& e) {
        switch (e.kind()) {
            case protocol::AppcastWriteError::Kind::unreadable:
                throw PackError(fill(msg_bad_appcast, {e.what()}));
            case protocol::AppcastWriteError::Kind::not_newer:
                throw PackError(fill(msg_not_newer, {item.version, e.what()}));
            case protocol::AppcastWriteError::Kind::bad_text:
                check_markup(e.what(),
                             e.place() == MarkupPlace::attribute ? "an appcast attribute" : "an appcast text");
                break;
        }
        throw;
    }
}

std::string metadata_text(std::string_view version) {
    try {
        return protocol::metadata_properties(version);
    } catch (const protocol::MetadataWriteError& e) {
        throw PackError(fill(msg_bad_metadata_version, {e.what()}));
    }
}

std::string metadata_text_for(std::string_view appcast) {
    try {
        return protocol::metadata_for_appcast(appcast);
    } catch (const protocol::MetadataWriteError& e) {
        throw PackError(fill(msg_bad_metadata_version, {e.what()}));
    }
}

// --- The site's files ------------------------------------------------------------------------------

// A file that becomes `target` once renamed; removed unless it was.
class PendingFile {
public:
    explicit PendingFile(const fs::path& target) : target_(target) {
        std::string name = (target.parent_path() / hidden_name(target, ".kestrova-pack-XXXXXX")).string();
        const kestrova::FileDescriptor fd(::mkstemp(name.data()));
        if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
        path_ = name;
    }
    ~PendingFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const fs::path& path() const { return path_; }

    // Flushes the file to disk with the mode a web server can read.
    void finish() const {
        const kestrova::FileDescriptor fd(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
        if (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0)
            throw std::system_error(errno, std::generic_category());
    }
    void commit() {
        if (::rename(path_.c_str(), target_.c_str()) != 0) throw std::system_error(errno, std::generic_category());
        path_.clear();
    }

private:
    fs::path target_;
    fs::path path_;
};

void write_all(const fs::path& path, std::string_view text) {
    kestrova::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
    int error = kestrova::write_all(fd.get(), text);
    if (fd.close() != 0 && error == 0) error = errno;
    if (error != 0) throw std::system_error(error, std::generic_category());
}

std::optional<std::string> read_if_present(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return std::nullopt;
    const auto bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// The runtime must be a real directory all the way down: a link anywhere on the way would make
// the archive carry a link to a JDK that the machines it is installed on do not have.
void check_runtime(const fs::path& bundle) {
    fs::path path = kestrova::bundle_layout::contents_of(bundle);
    for (const auto& part : fs::path(kestrova::bundle_layout::runtime_home)) {
        path /= part;
        std::error_code ec;
        const auto status = fs::symlink_status(path, ec);
        if (status.type() == fs::file_type::symlink) throw PackError(fill(msg_runtime_link, {path.string()}));
        if (status.type() != fs::file_type::directory) throw PackError(fill(msg_no_runtime, {path.string()}));
    }
}

// The bundle must carry the key the installed copies will check its own updates with: the signing
// key's public half, or, for the one release that changes keys, the next key's. That release is
// signed with the current key, which the installed copies trust, and hands them the next one.
void check_keys(const ed::PublicKey& bundle_key, const ed::PublicKey& signing_key, const ReleaseOptions& options) {
    if (!options.next_key_file) {
        if (signing_key != bundle_key) throw PackError(fill(msg_wrong_key, {options.key_file.string()}));
        return;
    }
    const ed::PublicKey next_key = ed::public_key_of(read_key_file(*options.next_key_file));
    if (next_key == signing_key) throw PackError(fill(msg_same_next_key, {options.next_key_file->string()}));
    if (bundle_key == signing_key) throw PackError(fill(msg_old_key_in_bundle, {options.next_key_file->string()}));
    if (bundle_key != next_key) throw PackError(fill(msg_not_next_key, {options.next_key_file->string()}));
}

void check_feed_size(std::size_t size, const fs::path& appcast_path) {
    if (size > protocol::max_feed_bytes)
        throw PackError(fill(msg_feed_too_large,
                             {std::to_string(size), std::to_string(protocol::max_feed_bytes), appcast_path.string()}));
}

}  // namespace

std::string url_path_segment(std::string_view text) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

namespace {

std::string read_release_notes(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) throw PackError(fill(msg_bad_release_notes, {file.string(), "is not a file"}));
    if (fs::file_size(file, ec) > max_release_notes_bytes)
        throw PackError(fill(msg_bad_release_notes, {file.string(), "is larger than 64 KiB"}));
    const std::vector<char> bytes = read_file(file);
    std::string text(bytes.begin(), bytes.end());
    if (!is_valid_utf8(text)) throw PackError(fill(msg_bad_release_notes, {file.string(), "is not UTF-8"}));
    return text;
}

}  // namespace

fs::path make_release(const ReleaseOptions& options) {
    // --- Everything that can refuse, before anything is written.
    const fs::path bundle = options.bundle.lexically_normal().has_filename()
                                ? options.bundle.lexically_normal()
                                : options.bundle.lexically_normal().parent_path();
    const std::string bundle_file = bundle.filename().string();
    std::error_code ec;
    const fs::path plist_path = kestrova::bundle_layout::info_plist_of(bundle);
    if (bundle_file.size() <= 4 || !bundle_file.ends_with(".app") || !fs::is_directory(bundle, ec) ||
        !fs::is_regular_file(plist_path, ec))
        throw PackError(fill(msg_not_a_bundle, {options.bundle.string()}));
    const std::string name = bundle_file.substr(0, bundle_file.size() - 4);
    if (options.download_url_prefix.empty()) throw PackError(std::string(msg_empty_prefix));

    const auto info = platform::read_info_dictionary(plist_path.string());
    const auto lookup = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const auto version = lookup(info_keys::bundle_version);
    if (!version || version->empty()) throw PackError(std::string(msg_no_version));
    if (version->find('/') != std::string::npos || version->front() == '.')
        throw PackError(fill(msg_bad_version_name, {*version}));
    check_runtime(bundle);

    const auto key_text = lookup(info_keys::public_ed_key);
    if (!key_text) throw PackError(std::string(msg_no_public_key));
    const auto bundle_key = ed::public_key_from_base64(*key_text);
    if (!bundle_key) throw PackError(std::string(msg_bad_public_key));
    const ed::Seed seed = read_key_file(options.key_file);
    check_keys(*bundle_key, ed::public_key_of(seed), options);

    if (fs::exists(options.site, ec) && !fs::is_directory(options.site, ec))
        throw PackError(fill(msg_site_not_dir, {options.site.string()}));
    const fs::path appcast_path = options.site / "appcast.xml";
    if (!options.channel) metadata_text(*version);  // refused before anything is written
    // The files are signed for this application with the key installed copies check with, and with
    // the next one while keys change, so that copies of either side read the feed.
    std::vector<ed::Seed> feed_keys{seed};
    if (options.next_key_file) feed_keys.push_back(read_key_file(*options.next_key_file));
    const std::string identifier = lookup(info_keys::bundle_identifier).value_or("");

    const std::string archive_name = name + "-" + *version + ".tar.gz";
    ReleaseItem item;
    item.version = *version;
    item.short_version = lookup(info_keys::bundle_short_version).value_or(*version);
    std::string prefix = options.download_url_prefix;
    if (!prefix.ends_with('/')) prefix += '/';
    item.url = prefix + url_path_segment(archive_name);
    item.release_notes_url = options.release_notes_url;
    if (options.release_notes_file) item.description = read_release_notes(*options.release_notes_file);
    item.channel = options.channel;
    item.phased_rollout_interval = options.phased_rollout_interval;
    item.critical_update = options.critical_update;
    item.pub_date = protocol::rfc822_date(
        options.source_date_epoch ? static_cast<std::time_t>(*options.source_date_epoch) : std::time(nullptr));

    // --- Writing: each file aside, then all renamed into place, the metadata last, so that the gate
    // never announces a version the appcast does not yet offer. The site stays locked from reading
    // the appcast to the last rename, so that a release made meanwhile is never overwritten.
    const bool site_existed = fs::exists(options.site, ec);
    try {
        fs::create_directories(options.site);
        const SiteLock lock(options.site);
        const auto existing = read_if_present(appcast_path);
        const protocol::FeedStamp stamp = next_feed_stamp(existing,
                                                          read_if_present(options.site / "metadata.properties"),
                                                          identifier, std::time(nullptr), options.expires_in_days);
        const auto signed_text = [&](std::string_view body, protocol::FeedFile file) {
            return identifier.empty() ? std::string(body) : protocol::sign_feed_file(body, file, stamp, feed_keys);
        };
        // A dry run of the appcast with this item, with the longest signature and length it can get,
        // so that a feed that refuses it, or would grow too large, does so before anything is written.
        const std::vector<std::string> bases = delta_base_versions(existing, *version, options.site, name,
                                                                   options.deltas);
        for (const std::string& base : bases)
            item.deltas.push_back({base, prefix + url_path_segment(delta_file_name(name, base, *version)), 0, ""});
        ReleaseItem longest = item;
        longest.signature.assign(88, 'A');
        longest.length = std::numeric_limits<std::uint64_t>::max();
        for (ReleaseDelta& delta : longest.deltas) {
            delta.signature.assign(88, 'A');
            delta.length = std::numeric_limits<std::uint64_t>::max();
        }
        const std::string longest_appcast = appcast_text(existing, name, longest);
        check_feed_size(signed_text(longest_appcast, protocol::FeedFile::appcast).size(), appcast_path);
        // The newest default item is the same whatever the signatures and lengths turn out to be.
        const std::string metadata = metadata_text_for(longest_appcast);

        PendingFile archive(options.site / archive_name);
        PendingFile appcast(appcast_path);
        PendingFile properties(options.site / "metadata.properties");
        write_bundle_archive(bundle, archive.path(), options.source_date_epoch);
        archive.finish();
        {
            const ed::MappedFile bytes(archive.path());
            item.signature = ed::encode_base64(ed::sign(seed, bytes.bytes()));
            item.length = bytes.bytes().size();
        }
        std::vector<std::unique_ptr<PendingFile>> delta_files;
        std::vector<std::pair<fs::path, fs::path>> olds_and_outs;
        for (const ReleaseDelta& delta : item.deltas) {
            delta_files.push_back(
                std::make_unique<PendingFile>(options.site / delta_file_name(name, delta.from_version, *version)));
            olds_and_outs.emplace_back(options.site / (name + "-" + delta.from_version + ".tar.gz"),
                                       delta_files.back()->path());
        }
        make_deltas_between_archives(olds_and_outs, archive.path());
        for (std::size_t i = 0; i < item.deltas.size(); ++i) {
            delta_files[i]->finish();
            const ed::MappedFile bytes(delta_files[i]->path());
            item.deltas[i].signature = ed::encode_base64(ed::sign(seed, bytes.bytes()));
            item.deltas[i].length = bytes.bytes().size();
        }
        write_all(appcast.path(), signed_text(appcast_text(existing, name, item), protocol::FeedFile::appcast));
        appcast.finish();
        write_all(properties.path(), signed_text(metadata, protocol::FeedFile::metadata));
        properties.finish();
        archive.commit();
        for (const auto& delta : delta_files) delta->commit();
        appcast.commit();
        properties.commit();
    } catch (const std::system_error& e) {
        // Only an empty one: another run may have released into it meanwhile.
        if (!site_existed) fs::remove(options.site, ec);
        throw PackError(fill(msg_cannot_write_site, {options.site.string(), e.code().message()}));
    } catch (const PackError&) {
        if (!site_existed) fs::remove(options.site, ec);
        throw;
    }
    return options.site / archive_name;
}

}  // namespace kestrova::pack
