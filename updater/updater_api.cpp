// The framework's half of the updater API table: the entry point of libkestrova-updater.so and
// the C functions the launcher calls (its loader is launcher/updates/updater_api_loader.h), over the
// host the first load installs (host_services_adapter.h). No exception crosses this file's C functions.
#include "kestrova/updater_abi.h"
#include "protocol/version_comparator.h"
#include "updater/host_services_adapter.h"
#include "updater/previous_version.h"
#include "updater/standard_user_driver.h"
#include "updater/update_installation.h"
#include "updater/updater_controller.h"
#include "updater/updater_host.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::updater {

HostServicesAdapter* installed_host = nullptr;

namespace {

// What the user sees goes through the standard driver, over the same host; never destroyed either.
StandardUserDriver* installed_driver = nullptr;
// The update made ready while the application runs, shared by every controller, for the process's
// end to install; never destroyed either.
std::shared_ptr<PendingUpdate>* installed_pending = nullptr;

void* controller_create(const KestrovaUpdaterDelegate* delegate) noexcept {
    if (installed_host == nullptr) {
        return nullptr;
    }
    try {
        UpdaterDelegate callbacks;
        if (delegate != nullptr) {
            const KestrovaUpdaterDelegate copy = *delegate;
            if (copy.did_finish_loading_appcast != nullptr) {
                callbacks.did_finish_loading_appcast = [copy] { copy.did_finish_loading_appcast(copy.context); };
            }
            if (copy.will_schedule_update_check_after_delay != nullptr) {
                callbacks.will_schedule_update_check_after_delay = [copy](double delay) {
                    copy.will_schedule_update_check_after_delay(copy.context, delay);
                };
            }
        }
        // Never destroyed: the ABI has no way to end a controller, and it lives as long as the process.
        return new UpdaterController(*installed_host, *installed_driver, std::move(callbacks), *installed_pending);
    } catch (...) {
        log_current_exception(installed_host->services(), "Could not create the updater controller");
        return nullptr;
    }
}

void controller_check_for_updates(void* controller) noexcept {
    if (installed_host == nullptr) {
        return;
    }
    if (controller == nullptr) {
        log_through(installed_host->services(), "User-initiated update check without a controller ignored");
        installed_host->stop_application();
        return;
    }
    try {
        static_cast<UpdaterController*>(controller)->check_for_updates();
    } catch (...) {
        // The controller ends every check itself; this is the last resort that keeps the hold path
        // from waiting forever.
        log_current_exception(installed_host->services(), "User-initiated update check failed");
        installed_host->stop_application();
    }
}

int compare_versions_c(const char* a, const char* b) noexcept {
    try {
        return static_cast<int>(protocol::compare_versions(a != nullptr ? a : "", b != nullptr ? b : ""));
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Version comparison failed");
        return 0;
    }
}

int controller_last_check_offered_update(void* controller) noexcept {
    return controller != nullptr && static_cast<const UpdaterController*>(controller)->last_check_offered_update() ? 1
                                                                                                                   : 0;
}

void controller_hold_launch(void* controller) noexcept {
    if (installed_host == nullptr) {
        return;
    }
    if (controller == nullptr) {
        log_through(installed_host->services(), "Holding the launch without a controller ignored");
        return;
    }
    static_cast<UpdaterController*>(controller)->hold_launch();
}

// As the host's info_string copies: at most size - 1 bytes and a NUL; the whole length returned.
long copy_path(const std::filesystem::path& path, char* buffer, std::size_t size) noexcept {
    const std::string& text = path.native();
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<long>(text.size());
}

long controller_installed_launcher(void* controller, char* buffer, std::size_t size) noexcept {
    if (controller == nullptr) {
        return -1;
    }
    const auto& launcher = static_cast<const UpdaterController*>(controller)->installed_launcher();
    return launcher ? copy_path(*launcher, buffer, size) : -1;
}

int install_pending_update_c() noexcept {
    if (installed_host == nullptr) {
        return 0;
    }
    try {
        // The previous version's removal ends first: the update below may keep another in its place.
        finish_removing_previous();
        return (*installed_pending)->install(*installed_host) ? 1 : 0;
    } catch (...) {
        log_current_exception(installed_host->services(), "Installing the pending update failed");
        return 0;
    }
}

long install_left_update_c(char* buffer, std::size_t size) noexcept {
    if (installed_host == nullptr) {
        return -1;
    }
    try {
        const auto launcher = install_left_update(*installed_host);
        return launcher ? copy_path(*launcher, buffer, size) : -1;
    } catch (...) {
        log_current_exception(installed_host->services(), "Installing an update left by an earlier run failed");
        return -1;
    }
}

// A previous version put back: its launcher and the sentence copied out as copy_path does.
long copy_put_back(const std::optional<PutBack>& put_back, char* launcher, std::size_t launcher_size, char* sentence,
                   std::size_t sentence_size) noexcept {
    if (!put_back) {
        return -1;
    }
    copy_path(put_back->sentence, sentence, sentence_size);
    return copy_path(put_back->launcher, launcher, launcher_size);
}

long begin_first_start_c(char* launcher, std::size_t launcher_size, char* sentence,
                         std::size_t sentence_size) noexcept {
    if (installed_host == nullptr) {
        return -1;
    }
    return copy_put_back(begin_first_start(*installed_host), launcher, launcher_size, sentence, sentence_size);
}

long roll_back_first_start_c(char* launcher, std::size_t launcher_size, char* sentence,
                             std::size_t sentence_size) noexcept {
    if (installed_host == nullptr) {
        return -1;
    }
    return copy_put_back(roll_back_first_start(*installed_host), launcher, launcher_size, sentence, sentence_size);
}

void confirm_first_start_c() noexcept {
    if (installed_host != nullptr) {
        confirm_first_start(*installed_host);
    }
}

void application_starting_c() noexcept {
    if (installed_host != nullptr) {
        application_starting(*installed_host);
    }
}

void interrupt_first_start_c(int signal) noexcept {
    if (installed_host != nullptr) {
        interrupt_first_start(*installed_host, signal);
    }
}

int version_failed_to_start_c(const char* version) noexcept {
    return installed_host != nullptr && version != nullptr && version_failed_to_start(*installed_host, version) ? 1 : 0;
}

constexpr KestrovaUpdaterApi updater_api = {
    KESTROVA_UPDATER_ABI_VERSION,
    &controller_create,
    &controller_check_for_updates,
    &compare_versions_c,
    &controller_last_check_offered_update,
    &controller_hold_launch,
    &controller_installed_launcher,
    &install_pending_update_c,
    &install_left_update_c,
    &begin_first_start_c,
    &roll_back_first_start_c,
    &confirm_first_start_c,
    &version_failed_to_start_c,
    &application_starting_c,
    &interrupt_first_start_c,
};

}  // namespace
}  // namespace kestrova::updater

extern "C" __attribute__((visibility("default"))) const KestrovaUpdaterApi* kestrova_updater_load(
    const KestrovaHostServices* host) noexcept {
    using namespace kestrova::updater;
    if (host == nullptr) {
        return nullptr;
    }
    if (host->abi_version != KESTROVA_UPDATER_ABI_VERSION || host->size < sizeof(KestrovaHostServices)) {
        // Nothing of a table in another layout can be trusted, not even its log.
        return nullptr;
    }
    if (!host_is_complete(*host)) {
        log_through(host, "Updater refused the launcher's services: a service is missing");
        return nullptr;
    }
    try {
        if (installed_host == nullptr) {
            // The host is published last: every entry takes a non-null host to mean all three exist.
            auto adapter = std::make_unique<HostServicesAdapter>(*host);
            auto driver = std::make_unique<StandardUserDriver>(*adapter);
            auto pending = std::make_unique<std::shared_ptr<PendingUpdate>>(std::make_shared<PendingUpdate>());
            installed_driver = driver.release();
            installed_pending = pending.release();
            installed_host = adapter.release();
        }
        return &updater_api;
    } catch (...) {
        log_current_exception(host, "Updater could not load");
        return nullptr;
    }
}
