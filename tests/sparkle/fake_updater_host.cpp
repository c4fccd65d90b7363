#include "fake_updater_host.h"

#include <algorithm>
#include <utility>

namespace kestrova::sparkle::testing {

int FakeUpdaterHost::stops() const {
    return static_cast<int>(std::count(events.begin(), events.end(), "stop"));
}

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

void FakeUpdaterHost::stop_application() {
    events.emplace_back("stop");
}

void FakeUpdaterHost::show_alert(std::string_view message, std::string_view informative) {
    events.push_back("alert:" + std::string(message));
    alerts.push_back(Alert{std::string(message), std::string(informative)});
    if (while_alert_shown) {
        std::exchange(while_alert_shown, nullptr)();
    }
}

std::optional<std::size_t> FakeUpdaterHost::show_choice_alert(std::string_view message, std::string_view,
                                                              const std::vector<std::string>& buttons,
                                                              bool dismiss_is_default) {
    if (!choice_answer) {
        return std::nullopt;
    }
    events.push_back("choice:" + std::string(message));
    choice_alerts.push_back(ChoiceAlert{std::string(message), buttons, dismiss_is_default});
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

void FakeUpdaterHost::log(std::string_view message) {
    log_lines.emplace_back(message);
}

UrlResponse http_ok(std::string body) {
    return http_status(200, std::move(body));
}

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

}  // namespace kestrova::sparkle::testing
