#include "updater/standard_user_driver.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kestrova::updater {

namespace {

// "2.0 (200)" when the display version differs from the version, else "200".
std::string version_text(std::string_view display_version, std::string_view version) {
    if (display_version.empty() || display_version == version) {
        return std::string(version);
    }
    return std::string(display_version) + " (" + std::string(version) + ")";
}

std::string_view choice_label(UpdateChoice choice) {
    switch (choice) {
        case UpdateChoice::install:
            return install_update_label;
        case UpdateChoice::skip_version:
            return skip_version_label;
        case UpdateChoice::remind_later:
            break;
    }
    return remind_later_label;
}

}  // namespace

std::string error_sentence(const InstalledApplication& application, const CheckError& error) {
    const std::string feed = "The update feed " + error.feed_url;
    switch (error.kind) {
        case CheckError::Kind::no_bundle_version:
            return application.name + " cannot check for updates: its Info.plist has no valid CFBundleVersion.";
        case CheckError::Kind::no_feed:
            return application.name + " has no update feed: its Info.plist names no SUFeedURL.";
        case CheckError::Kind::request_failed:
            return "The update feed could not be requested (" + error.detail + ").";
        case CheckError::Kind::download_failed:
            return feed + " could not be downloaded: " + error.detail;
        case CheckError::Kind::server_status:
            return feed + " could not be downloaded: the server answered HTTP " + std::to_string(error.http_status) +
                   ".";
        case CheckError::Kind::feed_unreadable:
            return feed + " could not be read: " + error.detail;
        case CheckError::Kind::internal:
            break;
    }
    return "The update information could not be processed (" + error.detail + ").";
}

void StandardUserDriver::show_up_to_date(const InstalledApplication& application, std::function<void()> acknowledge) {
    host_.show_information(up_to_date_heading, application.name + " " +
                                                   version_text(application.display_version, application.version) +
                                                   " is currently the newest version available.");
    acknowledge();
}

void StandardUserDriver::show_update_found(const InstalledApplication& application, const UpdateOffer& offer,
                                           std::function<void(UpdateChoice)> reply) {
    if (application.package_managed) {
        // Neither an address nor a choice: the system's package manager brings the new version.
        host_.show_alert(update_available_heading, application.name + " " +
                                                       version_text(offer.display_version, offer.version) +
                                                       " is available: update it with your system's package manager.");
        reply(UpdateChoice::remind_later);
        return;
    }
    std::string text = application.name + " " + version_text(offer.display_version, offer.version) +
                       " is now available; you have " + version_text(application.display_version, application.version) +
                       ".";
    if (offer.installed_by_someone_else) {
        // Nothing is downloaded for a copy this user cannot replace: the address is for whoever can.
        text += " This copy of " + application.name +
                " cannot be replaced by you: whoever installed it must update it.";
        if (!offer.download_address.empty()) {
            text += " The new version is at " + offer.download_address;
        }
    } else if (!offer.download_address.empty()) {
        // Beside an Install button, the address says where the version comes from, not that the
        // user should fetch it by hand.
        const bool installable = std::find(offer.choices.begin(), offer.choices.end(), UpdateChoice::install) !=
                                 offer.choices.end();
        text += installable ? " Install downloads it from " + offer.download_address + " and installs it."
                            : " Download it from " + offer.download_address;
    }
    // "Remind Me Later" is the button that dismisses the alert, as closing its window does; the
    // other choices follow in the offer's order, so its default is the alert's default.
    std::vector<UpdateChoice> order = {UpdateChoice::remind_later};
    for (const UpdateChoice choice : offer.choices) {
        if (choice != UpdateChoice::remind_later) order.push_back(choice);
    }
    if (order.size() > 1) {
        std::vector<std::string> buttons;
        buttons.reserve(order.size());
        for (const UpdateChoice choice : order) buttons.emplace_back(choice_label(choice));
        const bool dismiss_is_default = offer.choices.empty() || offer.choices.front() == UpdateChoice::remind_later;
        if (const auto chosen = host_.show_choice_alert(update_available_heading, text, offer.release_notes, buttons,
                                                        dismiss_is_default)) {
            reply(order[*chosen]);
            return;
        }
    }
    // No choice can be shown (no display, say): the texts still reach the user, and the offer
    // stays for a later check.
    if (!offer.release_notes.empty()) text += "\n\n" + std::string(release_notes_heading) + "\n" + offer.release_notes;
    host_.show_alert(update_available_heading, text);
    reply(UpdateChoice::remind_later);
}

void StandardUserDriver::show_error(const InstalledApplication& application, const CheckError& error,
                                    std::function<void()> acknowledge) {
    host_.show_alert(update_error_heading,
                     "An error occurred in retrieving update information. " + error_sentence(application, error));
    acknowledge();
}

// --- Installing -------------------------------------------------------------------------------------

void StandardUserDriver::show_download_started(const InstalledApplication& application, const UpdateOffer& offer,
                                               UpdateDownload what, std::function<void()> cancel) {
    const std::string version = application.name + " " + version_text(offer.display_version, offer.version);
    shown_percent_ = -1;
    if (what == UpdateDownload::archive_after_delta) {
        // A second download, larger than the first: said as such in the window already up (its
        // Cancel stops this installation still), so the bar starting again is not a mystery.
        downloading_text_ = "Downloading the full update of " + version +
                            " (its changes alone could not be used)\u2026";
        if (progress_ != 0) {
            host_.update_progress(progress_, 0.0, downloading_text_);
            return;
        }
    } else {
        downloading_text_ = (what == UpdateDownload::delta ? "Downloading the changes in " : "Downloading ") + version +
                            "\u2026";
    }
    dismiss_installation();
    // Without a window the download still runs; it just cannot be cancelled from here.
    progress_ = host_.show_progress("Updating " + application.name, downloading_text_, std::move(cancel));
}

void StandardUserDriver::show_download_progress(std::uint64_t received, std::uint64_t expected) {
    if (progress_ == 0 || expected == 0) return;
    const double fraction = std::min(1.0, static_cast<double>(received) / static_cast<double>(expected));
    const int percent = static_cast<int>(fraction * 100);
    // A window update per whole percent: a fast download must not flood the dialog.
    if (percent == shown_percent_) return;
    shown_percent_ = percent;
    host_.update_progress(progress_, fraction, downloading_text_ + " " + std::to_string(percent) + "%");
}

void StandardUserDriver::show_extracting() {
    if (progress_ != 0) host_.update_progress(progress_, std::nullopt, "Installing\u2026");
}

void StandardUserDriver::dismiss_installation() {
    if (progress_ != 0) host_.close_progress(std::exchange(progress_, 0));
}

void StandardUserDriver::show_ready_to_install_on_quit(const InstalledApplication& application,
                                                       const UpdateOffer& offer, std::function<void()> acknowledge) {
    const std::string version = application.name + " " + version_text(offer.display_version, offer.version);
    host_.show_information(std::string(ready_to_install_heading_prefix) + application.name + " is ready to install!",
                           version + " has been downloaded and will be installed when you quit " + application.name +
                               ". The next time you open " + application.name + ", it will be the new version.");
    acknowledge();
}

void StandardUserDriver::show_installed_when_every_copy_quits(const InstalledApplication& application,
                                                              const UpdateOffer& offer,
                                                              std::function<void()> acknowledge) {
    const std::string version = application.name + " " + version_text(offer.display_version, offer.version);
    host_.show_information(std::string(ready_to_install_heading_prefix) + application.name + " is ready to install!",
                           version + " will be installed when every copy of " + application.name + " has quit.");
    acknowledge();
}

void StandardUserDriver::show_install_failed(const InstalledApplication& application, const UpdateOffer& offer,
                                             std::string_view reason, std::function<void()> acknowledge) {
    std::string text = "The update could not be installed. " + std::string(reason) + " " + application.name + " " +
                       version_text(application.display_version, application.version) +
                       " is unchanged; check for updates again later";
    text += offer.download_address.empty() ? "." : ", or download the new version from " + offer.download_address;
    host_.show_alert(update_error_heading, text);
    acknowledge();
}

}  // namespace kestrova::updater
