// What the updater controller needs from the launcher, as a small C++ interface: the entry point wraps
// the launcher's C table in it, and the tests drive the controller with a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::updater {

// The outcome of a transfer: error_code 0 with the HTTP status (-1 when the address is not HTTP)
// and the body, or a URL error code with its description.
struct UrlResponse {
    int error_code = 0;
    std::string error_description;
    int http_status = -1;
    std::string body;
};

// The top-level string values of a bundle's Info.plist.
using InfoDictionary = std::map<std::string, std::string, std::less<>>;

class UpdaterHost {
public:
    using TimerId = std::uint64_t;     // 0 = no timer
    using TransferId = std::uint64_t;  // 0 = the transfer did not start
    using ProgressId = std::uint64_t;  // 0 = no progress window could be shown
    // Bytes received so far, and the length the server announced (nothing when it sent none).
    using DownloadProgress = std::function<void(std::uint64_t received, std::optional<std::uint64_t> expected)>;

    virtual ~UpdaterHost() = default;

    // Runs `task` on a later turn of the main run loop. Any thread.
    virtual void dispatch_main(std::function<void()> task) = 0;
    // A one-shot timer on the main run loop at `fire_date` (seconds since 2001). Main thread.
    virtual TimerId add_timer(double fire_date, std::function<void()> fire) = 0;
    virtual void invalidate_timer(TimerId timer) = 0;
    virtual double now() = 0;

    // Ends the shared application's run; a no-op when it is not running.
    virtual void stop_application() = 0;
    // The modal alert; returns once the user dismissed it. Main thread.
    virtual void show_alert(std::string_view message, std::string_view informative) = 0;
    // The same with the information icon, for news that is no error.
    virtual void show_information(std::string_view message, std::string_view informative) {
        show_alert(message, informative);
    }
    // The alert with a choice of `buttons` (two or more): `buttons[0]` dismisses it, as closing the
    // window does, `buttons[1]` is the affirmative one and the default unless `dismiss_is_default`.
    // `details`, when not empty, is plain text shown in a scrolled area below (release notes).
    // Returns the index chosen; nothing when no such dialog can be shown (nothing was shown).
    virtual std::optional<std::size_t> show_choice_alert(std::string_view message, std::string_view informative,
                                                         std::string_view details,
                                                         const std::vector<std::string>& buttons,
                                                         bool dismiss_is_default) = 0;

    // Starts a transfer without cached data; `completion` runs once, on any thread.
    virtual void load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                          std::function<void(UrlResponse)> completion) = 0;

    // An Info.plist value as a string; nothing when absent.
    virtual std::optional<std::string> info_string(std::string_view key) = 0;
    // An environment variable as it was before the JVM started; nothing when unset.
    virtual std::optional<std::string> environment_value(std::string_view name) = 0;
    // One record in the update log.
    virtual void log(std::string_view message) = 0;

    // Streams the body of `url` into the new file `destination` (never an existing one): memory
    // does not grow with the body. `progress` runs as bytes arrive and `completion` once, last, both
    // on any thread; the response's body stays empty. A body longer than `max_bytes` ends the
    // transfer with KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM. Returns the id for cancel_transfer; 0 when it could not start
    // (`completion` has then run).
    virtual TransferId download_to_file(std::string_view url, const std::filesystem::path& destination,
                                        double timeout_seconds, std::uint64_t max_bytes, DownloadProgress progress,
                                        std::function<void(UrlResponse)> completion) = 0;
    // Stops a transfer: its completion then reports KESTROVA_URL_ERROR_CANCELLED. Harmless once
    // ended.
    virtual void cancel_transfer(TransferId transfer) = 0;

    // The bundle directory (NAME.app) holding the running launcher; nothing when it cannot be told.
    virtual std::optional<std::filesystem::path> bundle_path() = 0;
    // The top-level string values of the property list at `path`; nothing when it is missing or
    // not a property list.
    virtual std::optional<InfoDictionary> read_property_list(const std::filesystem::path& path) = 0;

    // A progress window with a Cancel button; `cancelled` runs at most once, on the main thread,
    // and never after close_progress. Returns 0 when no such window can be shown. Main thread.
    virtual ProgressId show_progress(std::string_view title, std::string_view text,
                                     std::function<void()> cancelled) = 0;
    // `fraction` from 0 to 1, nothing when unknown; an empty `text` keeps the one shown.
    virtual void update_progress(ProgressId progress, std::optional<double> fraction, std::string_view text) = 0;
    virtual void close_progress(ProgressId progress) = 0;

    // Every running copy of the installation holds a lock on its bundle directory; an update may
    // replace the installation only while this process holds it alone. Converts this process's
    // lock to exclusive without waiting: true when no other copy runs, false when one does (the
    // lock stays shared). Any thread.
    virtual bool lock_installation_exclusively() = 0;
    // Whether `bundle` still names the bundle directory this process locked when it started: false
    // once it was moved away or another directory took its place; nothing when no lock is held.
    virtual std::optional<bool> installation_at(const std::filesystem::path& bundle) = 0;
};

}  // namespace kestrova::updater
