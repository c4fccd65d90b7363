// The host services the launcher gives the update framework: each entry of the table over the
// platform layer, with the C strings and callbacks the table takes.
#include "launcher/updates/host_services.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kestrova/handle_registry.h"
#include "platform/alert.h"
#include "platform/application.h"
#include "platform/bundle_info.h"
#include "platform/installation_lock.h"
#include "platform/main_queue.h"
#include "platform/never_destroyed.h"
#include "platform/process.h"
#include "platform/run_loop.h"
#include "platform/update_log.h"
#include "platform/url_loading.h"

namespace kestrova::updates {

using namespace kestrova::platform;

namespace {

// The stand-in logs under the launcher's subsystem, in a category of its own.
constexpr std::string_view log_subsystem = "org.kestrova.launcher";
constexpr std::string_view log_category = "updater";

// --- Timers ------------------------------------------------------------------------------------
// The framework holds a timer as an opaque handle and may invalidate it after it has fired, or
// never. Handles are numbers that are never reused (0 would read as a null handle): a handle whose
// timer has fired or was invalidated is simply no longer found, so no call on a stale handle
// touches freed memory.

using TimerRegistry = HandleRegistry<std::shared_ptr<Timer>, std::uintptr_t>;

TimerRegistry& timer_registry() {
    static NeverDestroyed<TimerRegistry> registry;
    return registry.get();
}

void* host_add_main_timer(double fire_date, void (*callback)(void*), void* context) {
    if (callback == nullptr) return nullptr;
    // The handle first, then the timer that names it; the timer is on no run loop yet, so nothing
    // can take the handle before the timer is under it.
    const std::uintptr_t id = timer_registry().add(nullptr);
    auto timer = Timer::create(fire_date, 0, [id, callback, context](Timer*) {
        timer_registry().take(id);  // fired: the handle is spent
        callback(context);
    });
    timer_registry().update(id, [&timer](std::shared_ptr<Timer>& held) { held = timer; });
    RunLoop::main().add_timer(std::move(timer));
    return reinterpret_cast<void*>(id);
}

void host_invalidate_timer(void* handle) {
    if (auto timer = timer_registry().take(reinterpret_cast<std::uintptr_t>(handle)); timer && *timer)
        (*timer)->invalidate();
}

// --- The rest of the services ------------------------------------------------------------------

void host_dispatch_async_main(void (*block)(void*), void* context) {
    if (block == nullptr) return;
    dispatch_async_main([block, context] { block(context); });
}

double host_absolute_time_now() { return absolute_time_now(); }

void host_application_stop() { Application::shared().stop(); }

void host_run_modal_alert(const char* message_text, const char* informative_text) {
    run_modal_alert(message_text != nullptr ? message_text : "", informative_text != nullptr ? informative_text : "");
}

void host_run_information_alert(const char* message_text, const char* informative_text) {
    run_information_alert(message_text != nullptr ? message_text : "",
                          informative_text != nullptr ? informative_text : "");
}

long host_run_choice_alert(const char* message_text, const char* informative_text, const char* details,
                           const char* const* buttons, std::size_t count, int dismiss_is_default) {
    if (buttons == nullptr) return -1;
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < count; ++i) labels.emplace_back(buttons[i] != nullptr ? buttons[i] : "");
    const auto chosen = run_choice_alert(message_text != nullptr ? message_text : "",
                                         informative_text != nullptr ? informative_text : "", labels,
                                         dismiss_is_default != 0, details != nullptr ? details : "");
    return chosen ? static_cast<long>(*chosen) : -1;
}

// The platform's URL errors cross the table as they are, so the codes the framework acts on must be
// the same numbers on both sides.
static_assert(url_error::cancelled == KESTROVA_URL_ERROR_CANCELLED);
static_assert(url_error::data_length_exceeds_maximum == KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM);

// Hands `result` to the stand-in's completion, valid for the length of the call.
void deliver(void (*completion)(void*, const KestrovaUrlResult*), void* context, const UrlResult& result) {
    if (completion == nullptr) return;
    KestrovaUrlResult out{};
    out.http_status = -1;
    out.body = "";
    if (result.error) {
        out.error_code = result.error->code;
        out.error_description = result.error->description.c_str();
    } else if (result.response) {
        out.http_status = result.response->http_status.value_or(-1);
        out.body = result.response->body.data();
        out.body_size = result.response->body.size();
    }
    completion(context, &out);
}

void host_load_url(const char* url, double timeout_seconds, std::size_t max_body_bytes,
                   void (*completion)(void*, const KestrovaUrlResult*), void* context) {
    UrlRequest request;
    request.url = url != nullptr ? url : "";
    request.timeout_seconds = timeout_seconds;
    request.max_body_bytes = max_body_bytes;
    load_url(std::move(request),
             [completion, context](const UrlResult& result) { deliver(completion, context, result); });
}

std::uint64_t host_download_to_file(const char* url, const char* path, double timeout_seconds, std::uint64_t max_bytes,
                                    void (*progress)(void*, std::uint64_t, std::int64_t),
                                    void (*completion)(void*, const KestrovaUrlResult*), void* context) {
    DownloadRequest request;
    request.url = url != nullptr ? url : "";
    request.destination = path != nullptr ? path : "";
    request.timeout_seconds = timeout_seconds;
    request.max_bytes = max_bytes;
    DownloadProgress report;
    if (progress != nullptr)
        report = [progress, context](std::uint64_t received, std::optional<std::uint64_t> expected) {
            progress(context, received, expected ? static_cast<std::int64_t>(*expected) : -1);
        };
    return download_to_file(std::move(request), std::move(report),
                            [completion, context](const UrlResult& result) { deliver(completion, context, result); });
}

void host_cancel_transfer(std::uint64_t transfer) { cancel_transfer(transfer); }

long host_bundle_path(char* buffer, std::size_t size) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path contents = fs::absolute(bundle_contents_directory(), error).lexically_normal();
    // An executable outside any bundle's Contents/MacOS has no bundle to name.
    if (error || contents == contents.root_path() || !contents.has_parent_path()) return -1;
    const fs::path bundle = contents.parent_path();
    if (bundle == bundle.root_path()) return -1;
    return detail::copy_info_string(bundle.string(), buffer, size);
}

int host_read_property_list(const char* path, void (*entry)(void*, const char*, const char*), void* context) {
    if (path == nullptr) return -1;
    const auto entries = read_property_list(path);
    if (!entries) return -1;
    if (entry != nullptr)
        for (const auto& [key, value] : *entries) entry(context, key.c_str(), value.c_str());
    return 0;
}

std::uint64_t host_show_progress(const char* title, const char* text, void (*cancelled)(void*), void* context) {
    return show_progress_window(title != nullptr ? title : "", text != nullptr ? text : "", [cancelled, context] {
        if (cancelled != nullptr) cancelled(context);
    });
}

void host_update_progress(std::uint64_t progress, double fraction, const char* text) {
    update_progress_window(progress, fraction >= 0 ? std::optional<double>(fraction) : std::nullopt,
                           text != nullptr ? text : "");
}

void host_close_progress(std::uint64_t progress) { close_progress_window(progress); }

int host_lock_installation_exclusively() { return lock_installation_exclusively() ? 1 : 0; }

int host_installation_at(const char* bundle) {
    if (bundle == nullptr) return -1;
    const auto same = installation_at(bundle);
    return same ? (*same ? 1 : 0) : -1;
}

long host_info_string(const char* key, char* buffer, std::size_t size) {
    if (key == nullptr) return -1;
    return detail::copy_info_string(info_dictionary_string(key), buffer, size);
}

// The stand-in keeps the pointers it is given, so each value is kept for the rest of the process:
// a name's value is read from the environment copy once, which never changes.
const char* host_environment_value(const char* name) {
    if (name == nullptr) return nullptr;
    static NeverDestroyed<std::mutex> mutex;
    static NeverDestroyed<std::map<std::string, std::optional<std::string>, std::less<>>> values;
    std::lock_guard lock(mutex.get());
    auto found = values.get().find(std::string_view(name));
    if (found == values.get().end()) found = values.get().emplace(name, environment_variable(name)).first;
    return found->second ? found->second->c_str() : nullptr;
}

void host_log(const char* message) {
    if (message == nullptr) return;
    // The message is an argument, never the format: a "%{public}@" inside it stays as it is.
    framework_log().write("%{public}@", {message});
}

KestrovaHostServices make_host_services() {
    KestrovaHostServices s{};
    s.abi_version = KESTROVA_UPDATER_ABI_VERSION;
    s.size = sizeof(KestrovaHostServices);
    s.dispatch_async_main = &host_dispatch_async_main;
    s.add_main_timer = &host_add_main_timer;
    s.invalidate_timer = &host_invalidate_timer;
    s.absolute_time_now = &host_absolute_time_now;
    s.application_stop = &host_application_stop;
    s.run_modal_alert = &host_run_modal_alert;
    s.load_url = &host_load_url;
    s.info_string = &host_info_string;
    s.environment_value = &host_environment_value;
    s.log = &host_log;
    s.run_choice_alert = &host_run_choice_alert;
    s.download_to_file = &host_download_to_file;
    s.cancel_transfer = &host_cancel_transfer;
    s.bundle_path = &host_bundle_path;
    s.read_property_list = &host_read_property_list;
    s.show_progress = &host_show_progress;
    s.update_progress = &host_update_progress;
    s.close_progress = &host_close_progress;
    s.lock_installation_exclusively = &host_lock_installation_exclusively;
    s.installation_at = &host_installation_at;
    s.run_information_alert = &host_run_information_alert;
    return s;
}

}  // namespace

UpdateLog& framework_log() {
    static UpdateLog* log = UpdateLog::create(log_subsystem, log_category);
    return *log;
}

const KestrovaHostServices& host_services() {
    static const KestrovaHostServices services = make_host_services();  // plain data: nothing to destroy
    return services;
}

namespace detail {

long copy_info_string(const std::optional<std::string>& value, char* buffer, std::size_t size) {
    if (!value) return -1;
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(value->size(), size - 1);
        std::memcpy(buffer, value->data(), n);
        buffer[n] = '\0';
    }
    return static_cast<long>(value->size());
}

}  // namespace detail

}  // namespace kestrova::updates
