// The update site's two small files (appcast.xml and metadata.properties) signed with the release
// key, and what a client keeps of the ones it accepted, so that a forged, replayed or stale file is
// refused. The signature travels in the file's last line, which readers that do not check it skip:
// an XML comment after the feed's root element, and a key the gate's parser does not read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/update_settings.h"
#include "protocol/ed25519.h"

namespace kestrova::protocol {

enum class FeedFile { appcast, metadata };

// What a signed file says of itself, inside what is signed.
struct FeedStamp {
    std::uint64_t serial = 0;                // raised by every release and refresh
    std::int64_t signed_at = 0;              // seconds since 1970, UTC
    std::optional<std::int64_t> expires_at;  // likewise; nothing: it never goes stale
    std::string identifier;                  // CFBundleIdentifier of the application it is for
};

// `body` (a file's text; a line end is added when it lacks one) followed by its signature line,
// signed with each of `keys` (two while the release key changes). Throws ed25519::CryptoError.
std::string sign_feed_file(std::string_view body, FeedFile file, const FeedStamp& stamp,
                           std::span<const ed25519::Seed> keys);

// A file that ends in a well-formed signature line, its signatures not yet checked.
struct SignedFeedFile {
    FeedFile file = FeedFile::appcast;
    std::string_view body;     // everything before the signature line
    std::string_view message;  // the bytes the signatures cover (the body and the line's stamp)
    FeedStamp stamp;
    std::vector<ed25519::Signature> signatures;
};

// Nothing when `text` has no signature line at its end, or one that is not of the exact form.
std::optional<SignedFeedFile> read_signed_feed_file(std::string_view text, FeedFile file);

// Whether one of `signed_file`'s signatures is `key`'s.
bool is_signed_by(const SignedFeedFile& signed_file, const ed25519::PublicKey& key);

// The newest file of each kind a client accepted, per application and user.
struct AcceptedStamp {
    std::uint64_t serial = 0;
    std::int64_t signed_at = 0;
};
struct FeedState {
    AcceptedStamp appcast;
    AcceptedStamp metadata;
    AcceptedStamp& of(FeedFile file) { return file == FeedFile::appcast ? appcast : metadata; }
    const AcceptedStamp& of(FeedFile file) const { return file == FeedFile::appcast ? appcast : metadata; }
};

// What a bundle asks of its feed (Info.plist's KestrovaRequireSignedFeed and SUPublicEDKey).
struct FeedPolicy {
    bool require_signature = false;
    std::optional<ed25519::PublicKey> key;
    std::string identifier;
};

// The policy `info` states. Without KestrovaRequireSignedFeed (true) nothing else is read.
FeedPolicy feed_policy(const InfoLookup& info);

struct FeedCheck {
    bool accepted = false;
    // What to read: the whole text when no signature is required; the signed part alone otherwise.
    std::string_view body;
    std::optional<FeedStamp> stamp;  // with an accepted signed file
    std::string refusal;             // why it was refused: a sentence without its full stop
};

// Judges a file the site sent. Without a required signature everything is accepted as it stands
// (the stamp is not read, nor libcrypto loaded). With one, the file must be signed by the key for
// this identifier, no older (serial, signing time) than the last one of its kind accepted, and
// not expired at `now` or at the newest signing time accepted, whichever is later, so that a
// clock set back does not make a stale file fresh again.
FeedCheck check_feed_file(std::string_view text, FeedFile file, const FeedPolicy& policy, const FeedState& state,
                          std::int64_t now);

// `state` with `stamp` recorded as the newest of its kind; false when it records nothing newer.
bool remember_stamp(FeedState& state, FeedFile file, const FeedStamp& stamp);

// <state directory>/kestrova-updater/<identifier>.feed-state, beside the updater's last check time.
// Nothing without a state directory or with an identifier that cannot name a file.
std::optional<std::filesystem::path> feed_state_file(const std::optional<std::filesystem::path>& state_directory,
                                                     std::string_view identifier);

// The stored state; a missing, unreadable or damaged file counts as nothing accepted yet. What is
// not a regular file is never opened for reading (a named pipe would block).
FeedState read_feed_state(const std::filesystem::path& file);
// Replaces the file whole or not at all, creating its folder. Returns 0 or the errno of the failure.
int write_feed_state(const std::filesystem::path& file, const FeedState& state);

// What a client does with the files a site sends: judges each by its bundle's policy and the
// state file it keeps, and records what it accepted there.
class FeedGuard {
public:
    FeedGuard() = default;
    FeedGuard(FeedPolicy policy, std::optional<std::filesystem::path> state_file)
        : policy_(std::move(policy)), state_file_(std::move(state_file)) {}

    bool requires_signature() const { return policy_.require_signature; }
    // check_feed_file against the stored state (none when there is no state file).
    FeedCheck check(std::string_view text, FeedFile file, std::int64_t now) const;
    // Records the stamp of an accepted check when it is newer than the stored one. Returns 0, or
    // the errno of a failed write (the state is then as it was).
    int accept(FeedFile file, const FeedCheck& check) const;
    const std::optional<std::filesystem::path>& state_file() const { return state_file_; }

private:
    FeedPolicy policy_;
    std::optional<std::filesystem::path> state_file_;
};

// Seconds from 1970 to 2001, the updater's reference date: its clock's time plus this is Unix time.
inline constexpr std::int64_t seconds_from_1970_to_2001 = 978307200;

// "2026-12-09T16:00:00Z" and back; parsing takes nothing but that exact form.
std::string format_utc(std::int64_t seconds);
std::optional<std::int64_t> parse_utc(std::string_view text);

}  // namespace kestrova::protocol
