// The standard user driver: each message is the platform's modal alert (a heading and an
// informative text) through the updater's host, and dismissing the alert is the user's answer.
#pragma once

#include <string>
#include <string_view>

#include "sparkle/updater_host.h"
#include "sparkle/user_driver.h"

namespace kestrova::sparkle {

// The alerts' headings; the informative texts carry the details.
inline constexpr std::string_view up_to_date_heading = "You're up to date!";
inline constexpr std::string_view update_available_heading = "A new version is available!";
inline constexpr std::string_view update_error_heading = "Update Error!";

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
    void show_download_started(const InstalledApplication&, const UpdateOffer&, std::function<void()>) override {}
    void show_download_progress(std::uint64_t, std::uint64_t) override {}
    void show_extracting() override {}
    void dismiss_installation() override {}
    void show_ready_to_install_on_quit(const InstalledApplication&, const UpdateOffer&,
                                       std::function<void()> acknowledge) override {
        acknowledge();
    }
    void show_install_failed(const InstalledApplication&, const UpdateOffer&, std::string_view,
                             std::function<void()> acknowledge) override {
        acknowledge();
    }

private:
    UpdaterHost& host_;
};

// The sentence that tells the user what went wrong, as the error alert shows it after its opening.
std::string error_sentence(const InstalledApplication& application, const CheckError& error);

}  // namespace kestrova::sparkle
