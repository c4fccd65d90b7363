#include "fake_updater_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "kestrova/updater_abi.h"
#include "platform/bundle_info.h"

namespace kestrova::updater::testing {

int FakeUpdaterHost::stops() const { return static_cast<int>(std::count(events.begin(), events.end(), "stop")); }

std::vector<FakeUpdaterHost::Timer> FakeUpdaterHost::active_timers() const {
    std::vector<Timer> active;
    std::copy_if(timers.begin(), timers.end(), std::back_inserter(active), [](const Timer& t) { return t.active; });
    return active;
}

UpdaterDelegate FakeUpdaterHost::delegate() {
    UpdaterDelegate d;
    d.did_finish_loading_appcast = [this] { events.emplace_back("did_finish"); };
    d.will_schedule_update_check_after_delay = [this](double delay) {
        events.push_back("will_schedule:" + std::to_string(static_cast<long long>(delay)));
    };
    return d;
}

void FakeUpdaterHost::run_main_queue() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(queue_mutex_);
            if (queue_.empty()) {
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

bool FakeUpdaterHost::fire_next_timer() {
    Timer* next = nullptr;
    for (auto& timer : timers) {
        if (timer.active && (next == nullptr || timer.fire_date < next->fire_date)) {
            next = &timer;
        }
    }
    if (next == nullptr) {
        return false;
    }
    next->active = false;
    clock = std::max(clock, next->fire_date);
    auto fire = std::move(next->fire);  // `timers` may grow while it runs
    fire();
    run_main_queue();
    return true;
}

void FakeUpdaterHost::complete_pending(UrlResponse response) {
    auto completion = std::move(pending_loads.front());
    pending_loads.erase(pending_loads.begin());
    completion(std::move(response));
}

void FakeUpdaterHost::join_workers() {
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
}

void FakeUpdaterHost::dispatch_main(std::function<void()> task) {
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(std::move(task));
}

UpdaterHost::TimerId FakeUpdaterHost::add_timer(double fire_date, std::function<void()> fire) {
    timers.push_back(Timer{++last_timer_id_, fire_date, std::move(fire), true});
    return last_timer_id_;
}

void FakeUpdaterHost::invalidate_timer(TimerId timer) {
    for (auto& t : timers) {
        if (t.id == timer) {
            t.active = false;
        }
    }
}

void FakeUpdaterHost::stop_application() { events.emplace_back("stop"); }

void FakeUpdaterHost::show_alert(std::string_view message, std::string_view informative) {
    events.push_back("alert:" + std::string(message));
    alerts.push_back(Alert{std::string(message), std::string(informative)});
    if (while_alert_shown) {
        std::exchange(while_alert_shown, nullptr)();
    }
}

void FakeUpdaterHost::show_information(std::string_view message, std::string_view informative) {
    show_alert(message, informative);
    alerts.back().information = true;
}

std::optional<std::size_t> FakeUpdaterHost::show_choice_alert(std::string_view message, std::string_view informative,
                                                              std::string_view details,
                                                              const std::vector<std::string>& buttons,
                                                              bool dismiss_is_default) {
    if (!choice_answer) {
        return std::nullopt;
    }
    events.push_back("choice:" + std::string(message));
    choice_alerts.push_back(
        ChoiceAlert{std::string(message), buttons, dismiss_is_default, std::string(informative), std::string(details)});
    return choice_answer;
}

void FakeUpdaterHost::load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                               std::function<void(UrlResponse)> completion) {
    events.push_back("load:" + std::string(url));
    requests.push_back(Request{std::string(url), timeout_seconds, max_body_bytes});
    UrlResponse response;
    if (const auto found = responses.find(url); found != responses.end()) {
        response = found->second;
    } else {
        response.error_code = -1004;
        response.error_description = "Could not connect to the server.";
    }
    switch (delivery) {
        case Delivery::at_once:
            completion(std::move(response));
            break;
        case Delivery::later:
            pending_loads.push_back(std::move(completion));
            break;
        case Delivery::worker_thread:
            workers_.emplace_back([completion = std::move(completion), response = std::move(response)]() mutable {
                completion(std::move(response));
            });
            break;
    }
}

std::optional<std::string> FakeUpdaterHost::info_string(std::string_view key) {
    if (const auto found = info.find(key); found != info.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::optional<std::string> FakeUpdaterHost::environment_value(std::string_view name) {
    if (const auto found = environment.find(name); found != environment.end()) {
        return found->second;
    }
    return std::nullopt;
}

void FakeUpdaterHost::log(std::string_view message) { log_lines.emplace_back(message); }

namespace {

bool append(const std::filesystem::path& file, std::string_view bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

}  // namespace

UpdaterHost::TransferId FakeUpdaterHost::download_to_file(std::string_view url,
                                                          const std::filesystem::path& destination,
                                                          double timeout_seconds, std::uint64_t max_bytes,
                                                          DownloadProgress progress,
                                                          std::function<void(UrlResponse)> completion) {
    events.push_back("download:" + std::string(url));
    download_requests.push_back(Download{std::string(url), destination, timeout_seconds, max_bytes});
    UrlResponse failure;
    const auto found = downloads.find(url);
    // The real loader creates its file with O_EXCL: an existing file is never written over.
    const int fd = found == downloads.end()
                       ? -1
                       : ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure.error_code = found == downloads.end() ? -1004 : -3000;
        failure.error_description = found == downloads.end() ? "Could not connect to the server."
                                                             : "cannot create the file";
        completion(std::move(failure));
        return 0;
    }
    ::close(fd);
    // As the real loader does, no more than max_bytes reach the file.
    const std::string& body = found->second;
    const bool too_long = body.size() > max_bytes;
    const std::string kept = body.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(body.size(), max_bytes)));
    const std::string first = kept.substr(0, kept.size() / 2);
    append(destination, first);
    progress(first.size(), body.size());
    Transfer transfer{++last_transfer_id_,   destination, kept.substr(first.size()), too_long, std::move(progress),
                      std::move(completion), first.size()};
    if (hold_downloads) {
        transfers_.push_back(std::move(transfer));
    } else {
        complete(std::move(transfer));
    }
    return last_transfer_id_;
}

void FakeUpdaterHost::complete(Transfer transfer) {
    append(transfer.destination, transfer.rest);
    transfer.progress(transfer.written + transfer.rest.size(), std::nullopt);
    UrlResponse response;
    if (transfer.too_long) {
        response.error_code = KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM;
        response.error_description = "The body is longer than allowed.";
    } else {
        response.http_status = 200;
    }
    transfer.completion(std::move(response));
}

void FakeUpdaterHost::finish_downloads() {
    auto held = std::move(transfers_);
    transfers_.clear();
    for (auto& transfer : held) complete(std::move(transfer));
}

void FakeUpdaterHost::cancel_transfer(TransferId id) {
    events.push_back("cancel_transfer");
    const auto found = std::find_if(transfers_.begin(), transfers_.end(),
                                    [id](const Transfer& t) { return t.id == id; });
    if (found == transfers_.end()) return;
    Transfer transfer = std::move(*found);
    transfers_.erase(found);
    UrlResponse response;
    response.error_code = KESTROVA_URL_ERROR_CANCELLED;
    response.error_description = "cancelled";
    transfer.completion(std::move(response));
}

std::optional<InfoDictionary> FakeUpdaterHost::read_property_list(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path)) return std::nullopt;
    auto entries = platform::read_info_dictionary(path.string());
    if (entries.empty()) return std::nullopt;
    return entries;
}

UpdaterHost::ProgressId FakeUpdaterHost::show_progress(std::string_view title, std::string_view text,
                                                       std::function<void()> cancelled) {
    events.push_back("progress:" + std::string(title));
    progress_texts.emplace_back(text);
    press_cancel = std::move(cancelled);
    return ++last_progress_id_;
}

void FakeUpdaterHost::update_progress(ProgressId, std::optional<double>, std::string_view text) {
    if (!text.empty()) progress_texts.emplace_back(text);
}

void FakeUpdaterHost::close_progress(ProgressId) {
    events.emplace_back("close_progress");
    press_cancel = nullptr;
}

bool FakeUpdaterHost::lock_installation_exclusively() {
    events.emplace_back("lock_installation_exclusively");
    return !other_copies_run;
}

UrlResponse http_ok(std::string body) { return http_status(200, std::move(body)); }

UrlResponse http_status(int status, std::string body) {
    UrlResponse response;
    response.http_status = status;
    response.body = std::move(body);
    return response;
}

std::string appcast_xml(const std::vector<FeedItem>& items) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
        "<channel><title>Updates</title>\n";
    for (const auto& item : items) {
        xml += "<item><title>Version " + item.version + "</title>";
        if (!item.link.empty()) {
            xml += "<link>" + item.link + "</link>";
        }
        if (!item.short_version.empty()) {
            xml += "<sparkle:shortVersionString>" + item.short_version + "</sparkle:shortVersionString>";
        }
        if (!item.enclosure_url.empty()) {
            xml += "<enclosure url=\"" + item.enclosure_url + "\" length=\"100\" type=\"application/zip\"";
            if (!item.os.empty()) {
                xml += " sparkle:os=\"" + item.os + "\"";
            }
            xml += " sparkle:version=\"" + item.version + "\"/>";
        } else {
            xml += "<sparkle:version>" + item.version + "</sparkle:version>";
        }
        xml += "</item>\n";
    }
    xml += "</channel></rss>\n";
    return xml;
}

}  // namespace kestrova::updater::testing
