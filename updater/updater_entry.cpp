// The ABI boundary of libkestrova-updater.so: the launcher's C table wrapped as an UpdaterHost, and
// the C table of functions the launcher calls. No exception crosses this file's C functions.
#include "kestrova/updater_abi.h"
#include "updater/previous_version.h"
#include "updater/standard_user_driver.h"
#include "updater/update_installation.h"
#include "updater/updater_controller.h"
#include "updater/updater_host.h"
#include "updater/version_comparator.h"

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

namespace kestrova::sparkle {
namespace {

// Values longer than this are cut by the host; plist strings that matter here are far shorter.
constexpr std::size_t max_info_value_bytes = std::size_t{1} << 16;

void log_through(const KestrovaHostServices* host, const char* message) noexcept {
    if (host != nullptr && host->log != nullptr) {
        host->log(message);
    }
}

// Logs the exception being handled; for the catch-all at every C entry.
void log_current_exception(const KestrovaHostServices* host, const char* where) noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            log_through(host, (std::string(where) + ": " + e.what()).c_str());
        } catch (...) {
            log_through(host, (std::string(where) + ": unknown exception").c_str());
        }
    } catch (...) {
        log_through(host, where);
    }
}

class HostAdapter final : public UpdaterHost {
public:
    explicit HostAdapter(const KestrovaHostServices& services) : services_(services) {}

    const KestrovaHostServices* services() const { return &services_; }

    void dispatch_main(std::function<void()> task) override {
        auto owned = std::make_unique<std::function<void()>>(std::move(task));
        services_.dispatch_async_main(&HostAdapter::run_task, owned.get());
        owned.release();  // run_task owns it now
    }

    TimerId add_timer(double fire_date, std::function<void()> fire) override {
        TimerId id = 0;
        {
            std::lock_guard lock(timers_mutex_);
            id = ++last_timer_id_;
            timers_[id].fire = std::move(fire);
        }
        // The id, not a pointer, travels as the context: a timer that fires after being forgotten
        // finds nothing and does nothing. No lock is held while the host runs.
        void* host_timer = services_.add_main_timer(fire_date, &HostAdapter::timer_callback,
                                                    reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)));
        std::lock_guard lock(timers_mutex_);
        const auto found = timers_.find(id);
        if (host_timer == nullptr) {
            if (found != timers_.end()) {
                timers_.erase(found);
            }
            return 0;
        }
        if (found != timers_.end()) {
            found->second.host_timer = host_timer;
        }
        return id;
    }

    void invalidate_timer(TimerId timer) override {
        void* host_timer = nullptr;
        {
            std::lock_guard lock(timers_mutex_);
            const auto found = timers_.find(timer);
            if (found == timers_.end()) {
                return;
            }
            host_timer = found->second.host_timer;
            timers_.erase(found);
        }
        services_.invalidate_timer(host_timer);
    }

    double now() override { return services_.absolute_time_now(); }

    void stop_application() override { services_.application_stop(); }

    void show_alert(std::string_view message, std::string_view informative) override {
        services_.run_modal_alert(std::string(message).c_str(), std::string(informative).c_str());
    }

    void show_information(std::string_view message, std::string_view informative) override {
        const auto alert = services_.run_information_alert != nullptr ? services_.run_information_alert
                                                                      : services_.run_modal_alert;
        alert(std::string(message).c_str(), std::string(informative).c_str());
    }

    std::optional<std::size_t> show_choice_alert(std::string_view message, std::string_view informative,
                                                 const std::vector<std::string>& buttons,
                                                 bool dismiss_is_default) override {
        // A host without the choice alert: the caller falls back to the plain alert.
        if (services_.run_choice_alert == nullptr) {
            return std::nullopt;
        }
        std::vector<const char*> labels;
        for (const auto& b : buttons) labels.push_back(b.c_str());
        const long chosen = services_.run_choice_alert(std::string(message).c_str(), std::string(informative).c_str(),
                                                       labels.data(), labels.size(), dismiss_is_default ? 1 : 0);
        if (chosen < 0 || static_cast<std::size_t>(chosen) >= buttons.size()) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(chosen);
    }

    void load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                  std::function<void(UrlResponse)> completion) override {
        auto owned = std::make_unique<std::function<void(UrlResponse)>>(std::move(completion));
        services_.load_url(std::string(url).c_str(), timeout_seconds, max_body_bytes, &HostAdapter::url_completion,
                           owned.get());
        owned.release();  // url_completion owns it now
    }

    std::optional<std::string> info_string(std::string_view key) override {
        const std::string name(key);
        std::vector<char> buffer(256);
        long length = services_.info_string(name.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) >= buffer.size()) {
            buffer.assign(std::min(static_cast<std::size_t>(length), max_info_value_bytes) + 1, '\0');
            length = services_.info_string(name.c_str(), buffer.data(), buffer.size());
            if (length < 0) {
                return std::nullopt;
            }
        }
        buffer.back() = '\0';  // whatever the host did, the string ends inside the buffer
        return std::string(buffer.data());
    }

    std::optional<std::string> environment_value(std::string_view name) override {
        const char* value = services_.environment_value(std::string(name).c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    }

    void log(std::string_view message) override { log_through(&services_, std::string(message).c_str()); }

    TransferId download_to_file(std::string_view url, const std::filesystem::path& destination, double timeout_seconds,
                                std::uint64_t max_bytes, DownloadProgress progress,
                                std::function<void(UrlResponse)> completion) override {
        auto owned = std::make_unique<Download>(Download{std::move(progress), std::move(completion)});
        const std::string address(url);
        const TransferId id = services_.download_to_file(address.c_str(), destination.c_str(), timeout_seconds,
                                                         max_bytes, &HostAdapter::download_progress,
                                                         &HostAdapter::download_completion, owned.get());
        // Whether it started or not, the completion has run or will run exactly once, and owns it.
        owned.release();
        return id;
    }

    void cancel_transfer(TransferId transfer) override {
        if (transfer != 0) services_.cancel_transfer(transfer);
    }

    std::optional<std::filesystem::path> bundle_path() override {
        std::vector<char> buffer(4096);
        long length = services_.bundle_path(buffer.data(), buffer.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) >= buffer.size()) {
            buffer.assign(static_cast<std::size_t>(length) + 1, '\0');
            length = services_.bundle_path(buffer.data(), buffer.size());
            // A path that changed length between the two calls cannot be trusted to be whole.
            if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
                return std::nullopt;
            }
        }
        buffer.back() = '\0';
        return std::filesystem::path(buffer.data());
    }

    std::optional<InfoDictionary> read_property_list(const std::filesystem::path& path) override {
        InfoDictionary entries;
        if (services_.read_property_list(path.c_str(), &HostAdapter::property_list_entry, &entries) != 0) {
            return std::nullopt;
        }
        return entries;
    }

    ProgressId show_progress(std::string_view title, std::string_view text, std::function<void()> cancelled) override {
        // The window's id is known only once the host returns, so the slot is found by a number of
        // our own: a cancel that arrives for a window already closed finds nothing and does nothing.
        std::uint64_t slot = 0;
        {
            std::lock_guard lock(progress_mutex_);
            slot = ++last_progress_slot_;
            progress_cancels_[slot] = std::move(cancelled);
        }
        const ProgressId id = services_.show_progress(std::string(title).c_str(), std::string(text).c_str(),
                                                      &HostAdapter::progress_cancelled,
                                                      reinterpret_cast<void*>(static_cast<std::uintptr_t>(slot)));
        std::lock_guard lock(progress_mutex_);
        if (id == 0) {
            progress_cancels_.erase(slot);
        } else {
            progress_slots_[id] = slot;
        }
        return id;
    }

    void update_progress(ProgressId progress, std::optional<double> fraction, std::string_view text) override {
        if (progress == 0) {
            return;
        }
        const std::string shown(text);
        services_.update_progress(progress, fraction ? std::clamp(*fraction, 0.0, 1.0) : -1.0,
                                  shown.empty() ? nullptr : shown.c_str());
    }

    void close_progress(ProgressId progress) override {
        if (progress == 0) {
            return;
        }
        services_.close_progress(progress);
        std::lock_guard lock(progress_mutex_);
        if (const auto found = progress_slots_.find(progress); found != progress_slots_.end()) {
            progress_cancels_.erase(found->second);
            progress_slots_.erase(found);
        }
    }

    bool lock_installation_exclusively() override { return services_.lock_installation_exclusively() == 1; }

    std::optional<bool> installation_at(const std::filesystem::path& bundle) override {
        const int same = services_.installation_at(bundle.c_str());
        if (same < 0) {
            return std::nullopt;
        }
        return same == 1;
    }

private:
    struct TimerSlot {
        void* host_timer = nullptr;
        std::function<void()> fire;
    };

    static void run_task(void* context) noexcept;
    static void timer_callback(void* context) noexcept;
    static void url_completion(void* context, const KestrovaUrlResult* result) noexcept;
    static void download_progress(void* context, std::uint64_t received, std::int64_t expected) noexcept;
    static void download_completion(void* context, const KestrovaUrlResult* result) noexcept;
    static void property_list_entry(void* context, const char* key, const char* value) noexcept;
    static void progress_cancelled(void* context) noexcept;

    // A download's two callbacks, one context; the completion frees it.
    struct Download {
        DownloadProgress progress;
        std::function<void(UrlResponse)> completion;
    };

    void cancel_progress(std::uint64_t slot) {
        std::function<void()> cancelled;
        {
            std::lock_guard lock(progress_mutex_);
            const auto found = progress_cancels_.find(slot);
            if (found == progress_cancels_.end()) {
                return;
            }
            cancelled = std::move(found->second);
            progress_cancels_.erase(found);  // at most once
        }
        if (cancelled) {
            cancelled();
        }
    }

    void fire_timer(TimerId id) {
        std::function<void()> fire;
        {
            std::lock_guard lock(timers_mutex_);
            const auto found = timers_.find(id);
            if (found == timers_.end()) {
                return;
            }
            fire = std::move(found->second.fire);
            timers_.erase(found);
        }
        fire();
    }

    KestrovaHostServices services_;
    std::mutex timers_mutex_;
    TimerId last_timer_id_ = 0;
    std::map<TimerId, TimerSlot> timers_;
    std::mutex progress_mutex_;
    std::uint64_t last_progress_slot_ = 0;
    std::map<std::uint64_t, std::function<void()>> progress_cancels_;  // by slot
    std::map<ProgressId, std::uint64_t> progress_slots_;               // the host's id to our slot
};

// One host per process, installed by the first load and never destroyed: exit runs on the JVM
// thread while the main thread may still be inside one of our callbacks.
HostAdapter* installed_host = nullptr;
// What the user sees goes through the standard driver, over the same host; never destroyed either.
StandardUserDriver* installed_driver = nullptr;
// The update made ready while the application runs, shared by every controller, for the process's
// end to install; never destroyed either.
std::shared_ptr<PendingUpdate>* installed_pending = nullptr;

void HostAdapter::run_task(void* context) noexcept {
    try {
        const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
        (*task)();
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater task failed");
    }
}

void HostAdapter::timer_callback(void* context) noexcept {
    try {
        if (installed_host != nullptr) {
            installed_host->fire_timer(static_cast<TimerId>(reinterpret_cast<std::uintptr_t>(context)));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater timer failed");
    }
}

// Fills a response from the host's result, which is valid only during the call.
UrlResponse response_from(const KestrovaUrlResult* result) {
    UrlResponse response;
    if (result == nullptr) {
        response.error_code = -1;
        response.error_description = "the transfer ended without a result";
        return response;
    }
    response.error_code = result->error_code;
    if (result->error_description != nullptr) {
        response.error_description = result->error_description;
    }
    response.http_status = result->http_status;
    if (result->body != nullptr) {
        response.body.assign(result->body, result->body_size);
    }
    return response;
}

void HostAdapter::url_completion(void* context, const KestrovaUrlResult* result) noexcept {
    try {
        const std::unique_ptr<std::function<void(UrlResponse)>> completion(
            static_cast<std::function<void(UrlResponse)>*>(context));
        (*completion)(response_from(result));
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater download failed");
    }
}

void HostAdapter::download_progress(void* context, std::uint64_t received, std::int64_t expected) noexcept {
    try {
        const auto& download = *static_cast<const Download*>(context);
        if (download.progress) {
            download.progress(received, expected >= 0
                                            ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(expected))
                                            : std::nullopt);
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr,
                              "Updater download progress failed");
    }
}

void HostAdapter::download_completion(void* context, const KestrovaUrlResult* result) noexcept {
    try {
        const std::unique_ptr<Download> download(static_cast<Download*>(context));
        if (download->completion) {
            download->completion(response_from(result));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater download failed");
    }
}

void HostAdapter::property_list_entry(void* context, const char* key, const char* value) noexcept {
    if (key == nullptr || value == nullptr) {
        return;
    }
    try {
        static_cast<InfoDictionary*>(context)->insert_or_assign(key, value);
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Reading a property list failed");
    }
}

void HostAdapter::progress_cancelled(void* context) noexcept {
    try {
        if (installed_host != nullptr) {
            installed_host->cancel_progress(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context)));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Cancelling the update failed");
    }
}

bool host_is_complete(const KestrovaHostServices& host) {
    return host.dispatch_async_main != nullptr && host.add_main_timer != nullptr && host.invalidate_timer != nullptr &&
           host.absolute_time_now != nullptr && host.application_stop != nullptr && host.run_modal_alert != nullptr &&
           host.load_url != nullptr && host.info_string != nullptr && host.environment_value != nullptr &&
           host.log != nullptr && host.download_to_file != nullptr && host.cancel_transfer != nullptr &&
           host.bundle_path != nullptr && host.read_property_list != nullptr && host.show_progress != nullptr &&
           host.update_progress != nullptr && host.close_progress != nullptr &&
           host.lock_installation_exclusively != nullptr && host.installation_at != nullptr;
}

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
        return static_cast<int>(compare_versions(a != nullptr ? a : "", b != nullptr ? b : ""));
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
};

}  // namespace
}  // namespace kestrova::sparkle

extern "C" __attribute__((visibility("default"))) const KestrovaUpdaterApi* kestrova_updater_load(
    const KestrovaHostServices* host) noexcept {
    using namespace kestrova::sparkle;
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
            auto adapter = std::make_unique<HostAdapter>(*host);
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
