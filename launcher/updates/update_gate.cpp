#include "launcher/updates/update_gate.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <semaphore>
#include <string>

#include "kestrova/update_settings.h"
#include "kestrova/utf8.h"
#include "launcher/updates/update_log.h"
#include "platform/bundle_info.h"
#include "platform/url_loading.h"
#include "platform/user_directories.h"
#include "protocol/metadata.h"
#include "protocol/rollout.h"
#include "protocol/signed_feed.h"

namespace kestrova::updates {

namespace {

constexpr int default_metadata_timeout_seconds = 30;

// The metadata request's time-out: 30 s, or fewer when KESTROVA_UPDATE_GATE_TIMEOUT gives whole
// seconds from 1 to 30 (for a site known to fail slowly, or a test of the time-out). Any other value
// is ignored: the variable can shorten the time a launch waits for the site, never lengthen it.
// Read on the main thread before any other thread exists.
double metadata_timeout_seconds() {
    const char* value = std::getenv("KESTROVA_UPDATE_GATE_TIMEOUT");
    if (value == nullptr) return default_metadata_timeout_seconds;
    int seconds = 0;
    const char* end = value + std::strlen(value);
    const auto [at, error] = std::from_chars(value, end, seconds);
    if (error != std::errc() || at != end || seconds < 1 || seconds > default_metadata_timeout_seconds)
        return default_metadata_timeout_seconds;
    return seconds;
}

// Fetches `url` (no cached data, metadata_timeout_seconds) and waits for the outcome: the body's text, or an
// error in the URL error domain, or neither when a successful body is not valid UTF-8. The
// completion runs on the URL worker while this (main) thread waits.
void downloadStringFromURL(const std::string& url, std::optional<std::string>& text,
                           std::optional<platform::UrlError>& error) {
    std::binary_semaphore finished(0);
    try {
        platform::load_url({url, metadata_timeout_seconds(), protocol::max_metadata_bytes},
                           [&](const platform::UrlResult& result) {
                               // Released on every way out, so the waiting thread can never be left behind.
                               struct ReleaseOnExit {
                                   std::binary_semaphore& semaphore;
                                   ~ReleaseOnExit() { semaphore.release(); }
                               } release{finished};
                               try {
                                   if (result.error) {
                                       error = *result.error;
                                   } else if (!result.response || !result.response->http_status) {
                                       error = platform::make_url_error(platform::url_error::unsupported_url);
                                   } else if (const int status = *result.response->http_status;
                                              status >= 200 && status <= 299) {
                                       if (is_valid_utf8(result.response->body)) text = result.response->body;
                                   } else if (status >= 500) {
                                       error = platform::make_url_error(platform::url_error::bad_server_response);
                                   } else if (status == 404) {
                                       error = platform::make_url_error(platform::url_error::file_does_not_exist);
                                   } else {
                                       error = platform::make_url_error(platform::url_error::bad_url);
                                   }
                               } catch (...) {
                                   // Thrown again here it would end the process on the worker thread; an update
                                   // problem must never do that, so it becomes the transfer's failure.
                                   text.reset();
                                   error = platform::make_url_error(platform::url_error::unknown);
                               }
                           });
    } catch (...) {
        error = platform::make_url_error(platform::url_error::unknown);
        return;
    }
    finished.acquire();
}

// The bundle's rule for metadata.properties, and the state beside the updater's where the newest
// signed file accepted is kept. Info.plist is read for it only when the bundle requires signing.
protocol::FeedGuard metadata_guard(const UpdateSettings& settings) {
    protocol::FeedPolicy policy = protocol::feed_policy(
        [](std::string_view key) { return platform::info_dictionary_string(key); });
    if (!policy.require_signature) return {};
    const auto environment = [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    return {std::move(policy),
            protocol::feed_state_file(platform::user_state_directory(environment), settings.identifier)};
}

}  // namespace

bool launch_is_held_for_update(const KestrovaUpdaterApi& framework, bool console) {
    if (console) {
        log_record(
            "Cannot do a Sparkle update check for non-GUI apps, ignoring aggressive_updates/FORCE_UPDATE_CHECK.");
        return false;
    }

    const UpdateSettings settings = read_update_settings(
        [](std::string_view key) { return platform::info_dictionary_string(key); });
    // The package manager updates such a copy; holding its start for an update it cannot take
    // would only keep the user from the application.
    if (settings.package_managed) {
        log_record("The system's package manager installed this copy and updates it, so the launch is not held.");
        return false;
    }
    const auto& bundle_version = settings.bundle_version;
    if (!bundle_version) {
        log_record("Could not find key 'CFBundleVersion' in the Info.plist file in the package.");
        return false;
    }
    log_record("Version from bundle: %{public}@", {*bundle_version});

    const auto& feed_url = settings.feed_url;
    if (!feed_url) {
        log_record("Could not find key 'SUFeedURL' in the Info.plist file in the package.");
        return false;
    }

    const auto metadata_url = protocol::metadata_url_for_feed(*feed_url);
    if (!metadata_url) {
        log_record("Malformed SUFeedURL: No '/'' found.");
        return false;
    }

    std::optional<std::string> text;
    std::optional<platform::UrlError> error;
    downloadStringFromURL(*metadata_url, text, error);
    if (error) {
        log_record("Download metadata.properties failed: %{public}@", {error->description});
        return false;
    }

    // A bundle that requires a signed feed reads only what its release key signed: a forged or
    // replayed file can never hold the launch.
    std::optional<std::string_view> readable = text;
    const protocol::FeedGuard guard = metadata_guard(settings);
    protocol::FeedCheck trusted;
    if (text && guard.requires_signature()) {
        trusted = guard.check(*text, protocol::FeedFile::metadata, static_cast<std::int64_t>(std::time(nullptr)));
        if (!trusted.accepted) {
            log_record("metadata.properties is not trusted (%{public}@), so the application starts.",
                       {trusted.refusal});
            return false;
        }
        readable = trusted.body;
    }

    // The file's text is not needed past this point; it goes before the hold, which may last as
    // long as the user leaves the dialog up.
    const auto site_version = protocol::metadata_version(readable);
    const protocol::MetadataRollout rollout = protocol::metadata_rollout(readable);
    if (const int failed = site_version ? guard.accept(protocol::FeedFile::metadata, trusted) : 0; failed != 0)
        log_record(
            "The serial of metadata.properties could not be kept (%{public}@); check that the state folder "
            "can be written.",
            {std::strerror(failed)});
    readable.reset();
    text.reset();
    if (!site_version) {
        log_record("Version or revision not found in metadata.");
        return false;
    }
    log_record("Version from metadata: %{public}@", {*site_version});

    // Only a bundle older than the site holds the launch; equal or newer goes on.
    if (framework.compare_versions(bundle_version->c_str(), site_version->c_str()) != -1) return false;
    // A version put back after it could not start here would be installed and put back at every
    // start; the user can still install it from a check of their own.
    if (framework.version_failed_to_start != nullptr && framework.version_failed_to_start(site_version->c_str()) != 0) {
        log_record("Version %{public}@ could not start here before, so the launch is not held for it.",
                   {*site_version});
        return false;
    }
    // The updater cannot check against a blank version and would not start: holding for it would
    // only lock the user out of the application.
    if (!settings.has_usable_version()) {
        log_record("CFBundleVersion is empty, so no update check can run: the application starts instead.");
        return false;
    }
    // A version rolled out in phases holds only the users whose group it has reached: the others
    // hear of it from their scheduled checks once it has.
    if (rollout.interval && rollout.published && !rollout.critical) {
        const auto environment = [](std::string_view name) -> std::optional<std::string> {
            const char* value = std::getenv(std::string(name).c_str());
            return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        };
        const int group = protocol::rollout_group_of(
            protocol::user_rollout_number(
                protocol::rollout_number_file(platform::user_state_directory(environment), settings.identifier))
                .value);
        if (!protocol::rollout_group_is_due(*rollout.published, *rollout.interval, group,
                                            static_cast<std::int64_t>(std::time(nullptr)))) {
            log_record(
                "Version %{public}@ is rolled out in phases and has not reached this user's group yet, so the "
                "launch is not held.",
                {*site_version});
            return false;
        }
    }

    log_record(
        "Forcing an update check with UI due to new version availability and aggressive updates mode being enabled.");
    return true;
}

}  // namespace kestrova::updates
