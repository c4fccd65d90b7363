// The standard user driver: each message is the platform's modal alert (a heading and an
// informative text) through the updater's host, and dismissing the alert is the user's answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "updater/updater_host.h"
#include "updater/user_driver.h"

namespace kestrova::updater {

// The alerts' headings; the informative texts carry the details.
inline constexpr std::string_view up_to_date_heading = "You're up to date!";
inline constexpr std::string_view update_available_heading = "A new version is available!";
inline constexpr std::string_view update_error_heading = "Update Error!";
// Above the release notes where they follow the offer's text.
inline constexpr std::string_view release_notes_heading = "Release notes:";
inline constexpr std::string_view ready_to_install_heading_prefix =
    "A new version of ";  // "... NAME is ready to install!"

// The offer's buttons.
inline constexpr std::string_view install_update_label = "Install Update";
inline constexpr std::string_view remind_later_label = "Remind Me Later";
inline constexpr std::string_view skip_version_label = "Skip This Version";

class StandardUserDriver final : public UserDriver {
public:
    // `host` must outlive the driver.
    explicit StandardUserDriver(UpdaterHost& host) : host_(host) {}

    void show_up_to_date(const InstalledApplication& application, std::function<void()> acknowledge) override;
    void show_update_found(const InstalledApplication& application, const UpdateOffer& offer,
                           std::function<void(UpdateChoice)> reply) override;
    void show_error(const InstalledApplication& application, const CheckError& error,
                    std::function<void()> acknowledge) override;
    void show_download_started(const InstalledApplication& application, const UpdateOffer& offer, UpdateDownload what,
                               std::function<void()> cancel) override;
    void show_download_progress(std::uint64_t received, std::uint64_t expected) override;
    void show_extracting() override;
    void dismiss_installation() override;
    void show_ready_to_install_on_quit(const InstalledApplication& application, const UpdateOffer& offer,
                                       std::function<void()> acknowledge) override;
    void show_installed_when_every_copy_quits(const InstalledApplication& application, const UpdateOffer& offer,
                                              std::function<void()> acknowledge) override;
    void show_install_failed(const InstalledApplication& application, const UpdateOffer& offer, std::string_view reason,
                             std::function<void()> acknowledge) override;

private:
    UpdaterHost& host_;
    UpdaterHost::ProgressId progress_ = 0;
    std::string downloading_text_;  // "Downloading NAME VERSION…"
    int shown_percent_ = -1;
};

// The sentence that tells the user what went wrong, as the error alert shows it after its opening.
std::string error_sentence(const InstalledApplication& application, const CheckError& error);

}  // namespace kestrova::updater
