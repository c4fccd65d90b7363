// The framework's half of the host services table: the launcher's C table (its side is
// launcher/updates/host_services.h) wrapped as the UpdaterHost the framework is written against, and
// the C callbacks that bring the host's answers back. No exception leaves a callback.
#pragma once

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

#include "kestrova/handle_registry.h"
#include "kestrova/updater_abi.h"
#include "updater/updater_host.h"

namespace kestrova::updater {

// Values longer than this are cut by the host; plist strings that matter here are far shorter.
inline constexpr std::size_t max_info_value_bytes = std::size_t{1} << 16;

// Writes `message` to the host's log, if there is a host.
void log_through(const KestrovaHostServices* host, const char* message) noexcept;

// Logs the exception being handled; for the catch-all at every C entry.
void log_current_exception(const KestrovaHostServices* host, const char* where) noexcept;

// Whether the table has every service the framework calls.
bool host_is_complete(const KestrovaHostServices& host);

class HostServicesAdapter final : public UpdaterHost {
public:
    explicit HostServicesAdapter(const KestrovaHostServices& services) : services_(services) {}

    const KestrovaHostServices* services() const { return &services_; }

    void dispatch_main(std::function<void()> task) override {
        auto owned = std::make_unique<std::function<void()>>(std::move(task));
        services_.dispatch_async_main(&HostServicesAdapter::run_task, owned.get());
        static_cast<void>(owned.release());  // run_task owns it now
    }

    TimerId add_timer(double fire_date, std::function<void()> fire) override {
        const TimerId id = timers_.add(TimerSlot{nullptr, std::move(fire)});
        // The id, not a pointer, travels as the context: a timer that fires after being forgotten
        // finds nothing and does nothing. No lock is held while the host runs.
        void* host_timer = services_.add_main_timer(fire_date, &HostServicesAdapter::timer_callback,
                                                    reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)));
        if (host_timer == nullptr) {
            timers_.take(id);
            return 0;
        }
        // Fired already (the host's main thread may run it at once): the slot is gone, and so is the timer.
        timers_.update(id, [host_timer](TimerSlot& slot) { slot.host_timer = host_timer; });
        return id;
    }

    void invalidate_timer(TimerId timer) override {
        const auto slot = timers_.take(timer);
        if (!slot) {
            return;
        }
        services_.invalidate_timer(slot->host_timer);
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
                                                 std::string_view details, const std::vector<std::string>& buttons,
                                                 bool dismiss_is_default) override {
        // A host without the choice alert: the caller falls back to the plain alert.
        if (services_.run_choice_alert == nullptr) {
            return std::nullopt;
        }
        std::vector<const char*> labels;
        labels.reserve(buttons.size());
        for (const auto& b : buttons) labels.push_back(b.c_str());
        const long chosen = services_.run_choice_alert(std::string(message).c_str(), std::string(informative).c_str(),
                                                       std::string(details).c_str(), labels.data(), labels.size(),
                                                       dismiss_is_default ? 1 : 0);
        if (chosen < 0 || static_cast<std::size_t>(chosen) >= buttons.size()) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(chosen);
    }

    void load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                  std::function<void(UrlResponse)> completion) override {
        auto owned = std::make_unique<std::function<void(UrlResponse)>>(std::move(completion));
        services_.load_url(std::string(url).c_str(), timeout_seconds, max_body_bytes,
                           &HostServicesAdapter::url_completion, owned.get());
        static_cast<void>(owned.release());  // url_completion owns it now
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
                                                         max_bytes, &HostServicesAdapter::download_progress,
                                                         &HostServicesAdapter::download_completion, owned.get());
        // Whether it started or not, the completion has run or will run exactly once, and owns it.
        static_cast<void>(owned.release());
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
        if (services_.read_property_list(path.c_str(), &HostServicesAdapter::property_list_entry, &entries) != 0) {
            return std::nullopt;
        }
        return entries;
    }

    ProgressId show_progress(std::string_view title, std::string_view text, std::function<void()> cancelled) override {
        // The window's id is known only once the host returns, so the slot is found by a number of
        // our own: a cancel that arrives for a window already closed finds nothing and does nothing.
        const std::uint64_t slot = progress_cancels_.add(std::move(cancelled));
        const ProgressId id = services_.show_progress(std::string(title).c_str(), std::string(text).c_str(),
                                                      &HostServicesAdapter::progress_cancelled,
                                                      reinterpret_cast<void*>(static_cast<std::uintptr_t>(slot)));
        if (id == 0) {
            progress_cancels_.take(slot);
        } else {
            std::lock_guard lock(progress_mutex_);
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
            progress_cancels_.take(found->second);
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
        const auto cancelled = progress_cancels_.take(slot);  // at most once
        if (cancelled && *cancelled) {
            (*cancelled)();
        }
    }

    void fire_timer(TimerId id) {
        const auto slot = timers_.take(id);
        if (!slot) {
            return;
        }
        slot->fire();
    }

    KestrovaHostServices services_;
    HandleRegistry<TimerSlot, TimerId> timers_;
    HandleRegistry<std::function<void()>> progress_cancels_;  // by slot
    std::mutex progress_mutex_;
    std::map<ProgressId, std::uint64_t> progress_slots_;  // the host's id to our slot
};

// One host per process, installed by the first load (updater_api.cpp) and never destroyed: exit
// runs on the JVM thread while the main thread may still be inside one of the callbacks.
extern HostServicesAdapter* installed_host;

}  // namespace kestrova::updater
