// A user driver that records what the controller asks it to show, and answers at once or, when
// told to, only when the test says so.
#pragma once

#include "updater/user_driver.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::updater::testing {

class RecordingUserDriver final : public UserDriver {
public:
    // "up_to_date", "update_found:<version>", "error"
    std::vector<std::string> shown;
    std::vector<InstalledApplication> applications;
    std::vector<UpdateOffer> offers;
    std::vector<CheckError> errors;
    // Answers held back with answer_later, oldest first.
    std::vector<std::function<void()>> pending;
    bool answer_later = false;
    // The answer to an offer; nothing: its default (the first choice).
    std::optional<UpdateChoice> choose;
    int answers_per_message = 1;  // more than one: a driver that answers twice

    void show_up_to_date(const InstalledApplication& application, std::function<void()> acknowledge) override {
        record("up_to_date", application);
        answer(std::move(acknowledge));
    }
    void show_update_found(const InstalledApplication& application, const UpdateOffer& offer,
                           std::function<void(UpdateChoice)> reply) override {
        record("update_found:" + offer.version, application);
        offers.push_back(offer);
        answer([reply = std::move(reply), choice = choose.value_or(offer.choices.front())] { reply(choice); });
    }
    void show_error(const InstalledApplication& application, const CheckError& error,
                    std::function<void()> acknowledge) override {
        record("error", application);
        errors.push_back(error);
        answer(std::move(acknowledge));
    }

    void show_download_started(const InstalledApplication&, const UpdateOffer&, UpdateDownload,
                               std::function<void()>) override {}
    void show_download_progress(std::uint64_t, std::uint64_t) override {}
    void show_extracting() override {}
    void dismiss_installation() override {}
    void show_ready_to_install_on_quit(const InstalledApplication& application, const UpdateOffer&,
                                       std::function<void()> acknowledge) override {
        record("ready_on_quit", application);
        answer(std::move(acknowledge));
    }
    void show_installed_when_every_copy_quits(const InstalledApplication& application, const UpdateOffer&,
                                              std::function<void()> acknowledge) override {
        record("installed_when_every_copy_quits", application);
        answer(std::move(acknowledge));
    }
    void show_install_failed(const InstalledApplication& application, const UpdateOffer&, std::string_view,
                             std::function<void()> acknowledge) override {
        record("install_failed", application);
        answer(std::move(acknowledge));
    }

private:
    void record(std::string what, const InstalledApplication& application) {
        shown.push_back(std::move(what));
        applications.push_back(application);
    }
    void answer(std::function<void()> reply) {
        if (answer_later) {
            pending.push_back(std::move(reply));
            return;
        }
        for (int i = 0; i < answers_per_message; ++i) reply();
    }
};

}  // namespace kestrova::updater::testing
