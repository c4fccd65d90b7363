// Everything the user sees of the updater goes through a user driver: the controller decides what
// happened and what the user may do about it, the driver decides how that looks and reports the
// user's answer. The standard driver (standard_user_driver.h) shows the platform's modal alert; the
// tests record what they are shown. All calls are made on the main thread, and every callback is
// to be called exactly once, on the main thread, when the user is done (at once by a driver that
// shows nothing).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::updater {

// The application as the bundle describes it.
struct InstalledApplication {
    std::string name;
    std::string version;          // CFBundleVersion
    std::string display_version;  // CFBundleShortVersionString, else the version
    // A system package installed this copy: the package manager replaces it, never the updater.
    bool package_managed = false;
};

// What the user may do about an update on offer. Dismissing the offer is remind_later: the offer
// comes again at a later check. skip_version: scheduled checks no longer offer this version.
enum class UpdateChoice { install, remind_later, skip_version };

// A newer version on the update site.
struct UpdateOffer {
    std::string version;                // the item's version
    std::string display_version;        // the item's short version; empty when it has none
    std::string download_address;       // the item's link, else its enclosure's address; may be empty
    std::vector<UpdateChoice> choices;  // what the user may choose, the default first
    // This user cannot replace the installed bundle (it was installed for all users, by a package
    // manager say): whoever installed it must update it, and install is not among the choices.
    bool installed_by_someone_else = false;
    // The item's release notes as plain text (release_notes_text); empty when it has none to show.
    std::string release_notes;
};

// Why a check the user asked for could not tell whether there is an update.
struct CheckError {
    enum class Kind {
        no_bundle_version,  // CFBundleVersion absent or blank: the updater did not start
        no_feed,            // no SUFeedURL
        request_failed,     // the transfer could not even be started
        download_failed,    // the transfer failed: `detail` is its description
        server_status,      // the server answered `http_status`
        feed_unreadable,    // the feed is not an appcast: `detail` says why
        internal,           // the check itself failed: `detail` says where
    };
    Kind kind = Kind::internal;
    std::string feed_url;
    std::string detail;
    int http_status = 0;
};

// What a download of the update the user chose fetches.
enum class UpdateDownload {
    archive,              // the new version whole
    delta,                // only what changed since the installed version
    archive_after_delta,  // the new version whole, because its delta could not be used
};

class UserDriver {
public:
    virtual ~UserDriver() = default;

    // A check the user asked for found nothing newer than the installed version.
    virtual void show_up_to_date(const InstalledApplication& application, std::function<void()> acknowledge) = 0;

    // A newer version is available; `reply` receives one of `offer.choices`.
    virtual void show_update_found(const InstalledApplication& application, const UpdateOffer& offer,
                                   std::function<void(UpdateChoice)> reply) = 0;

    // A check the user asked for failed.
    virtual void show_error(const InstalledApplication& application, const CheckError& error,
                            std::function<void()> acknowledge) = 0;

    // --- Installing the update the user chose to install ---

    // A download has started, of `what`; `cancel` stops the installation while it may still be
    // stopped (until show_extracting). The progress stays up until dismiss_installation. After a
    // delta that could not be used, a second download starts with its own `what` while the
    // progress is still up, and tells the user that it is a second one.
    virtual void show_download_started(const InstalledApplication& application, const UpdateOffer& offer,
                                       UpdateDownload what, std::function<void()> cancel) = 0;
    // Bytes received of `expected` (the item's length).
    virtual void show_download_progress(std::uint64_t received, std::uint64_t expected) = 0;
    // Downloaded: the update is being verified, extracted and checked, which cannot be cancelled.
    virtual void show_extracting() = 0;
    // The installation's progress goes away, whatever its end.
    virtual void dismiss_installation() = 0;

    // The update is downloaded and checked while the application runs: it replaces the application
    // when it quits, and the next start runs it.
    virtual void show_ready_to_install_on_quit(const InstalledApplication& application, const UpdateOffer& offer,
                                               std::function<void()> acknowledge) = 0;
    // The update is downloaded and checked, but other copies of the application run from the
    // installation: it is installed once every one of them has quit, and nothing starts it now.
    virtual void show_installed_when_every_copy_quits(const InstalledApplication& application, const UpdateOffer& offer,
                                                      std::function<void()> acknowledge) = 0;
    // The update could not be installed; `reason` is one sentence. The installed application is
    // as it was.
    virtual void show_install_failed(const InstalledApplication& application, const UpdateOffer& offer,
                                     std::string_view reason, std::function<void()> acknowledge) = 0;
};

}  // namespace kestrova::updater
