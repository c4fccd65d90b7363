#include "updater/host_services_adapter.h"

namespace kestrova::updater {

namespace {

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

}  // namespace

void log_through(const KestrovaHostServices* host, const char* message) noexcept {
    if (host != nullptr && host->log != nullptr) {
        host->log(message);
    }
}

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

bool host_is_complete(const KestrovaHostServices& host) {
    return host.dispatch_async_main != nullptr && host.add_main_timer != nullptr && host.invalidate_timer != nullptr &&
           host.absolute_time_now != nullptr && host.application_stop != nullptr && host.run_modal_alert != nullptr &&
           host.load_url != nullptr && host.info_string != nullptr && host.environment_value != nullptr &&
           host.log != nullptr && host.download_to_file != nullptr && host.cancel_transfer != nullptr &&
           host.bundle_path != nullptr && host.read_property_list != nullptr && host.show_progress != nullptr &&
           host.update_progress != nullptr && host.close_progress != nullptr &&
           host.lock_installation_exclusively != nullptr && host.installation_at != nullptr;
}

void HostServicesAdapter::run_task(void* context) noexcept {
    try {
        const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
        (*task)();
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater task failed");
    }
}

void HostServicesAdapter::timer_callback(void* context) noexcept {
    try {
        if (installed_host != nullptr) {
            installed_host->fire_timer(static_cast<TimerId>(reinterpret_cast<std::uintptr_t>(context)));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater timer failed");
    }
}

void HostServicesAdapter::url_completion(void* context, const KestrovaUrlResult* result) noexcept {
    try {
        const std::unique_ptr<std::function<void(UrlResponse)>> completion(
            static_cast<std::function<void(UrlResponse)>*>(context));
        (*completion)(response_from(result));
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater download failed");
    }
}

void HostServicesAdapter::download_progress(void* context, std::uint64_t received, std::int64_t expected) noexcept {
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

void HostServicesAdapter::download_completion(void* context, const KestrovaUrlResult* result) noexcept {
    try {
        const std::unique_ptr<Download> download(static_cast<Download*>(context));
        if (download->completion) {
            download->completion(response_from(result));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Updater download failed");
    }
}

void HostServicesAdapter::property_list_entry(void* context, const char* key, const char* value) noexcept {
    if (key == nullptr || value == nullptr) {
        return;
    }
    try {
        static_cast<InfoDictionary*>(context)->insert_or_assign(key, value);
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Reading a property list failed");
    }
}

void HostServicesAdapter::progress_cancelled(void* context) noexcept {
    try {
        if (installed_host != nullptr) {
            installed_host->cancel_progress(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context)));
        }
    } catch (...) {
        log_current_exception(installed_host ? installed_host->services() : nullptr, "Cancelling the update failed");
    }
}

}  // namespace kestrova::updater
