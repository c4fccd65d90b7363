// A host for the updater controller that the test drives by hand: a main queue it drains, timers it
// fires, a URL loader answering from a table (at once, later, or from another thread), and a record
// of every alert, stop, request, delegate call and log line.
#pragma once

#include "sparkle/standard_user_driver.h"
#include "sparkle/updater_controller.h"
#include "sparkle/updater_host.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kestrova::sparkle::testing {

// An absolute time well after 2001, so that "now - interval" stays positive.
inline constexpr double test_epoch = 700'000'000;

class FakeUpdaterHost final : public UpdaterHost {
public:
    enum class Delivery { at_once, later, worker_thread };

    struct Alert {
        std::string message;
        std::string informative;
    };
    struct Request {
        std::string url;
        double timeout_seconds;
        std::size_t max_body_bytes;
    };
    struct Timer {
        TimerId id;
        double fire_date;
        std::function<void()> fire;
        bool active;
    };

    ~FakeUpdaterHost() override { join_workers(); }

    // --- What the host offers ---------------------------------------------------------------------
    std::map<std::string, std::string, std::less<>> info;
    std::map<std::string, std::string, std::less<>> environment;
    double clock = test_epoch;
    Delivery delivery = Delivery::at_once;
    // Runs while an alert is up, as the main run loop may serve timers during a modal alert.
    std::function<void()> while_alert_shown;
    // The answer to a choice alert; nothing: no such dialog can be shown (the fallback follows).
    std::optional<std::size_t> choice_answer;
    // Answers by address; an address not listed fails to connect.
    std::map<std::string, UrlResponse, std::less<>> responses;

    // --- What happened, in order ------------------------------------------------------------------
    // "alert:<heading>", "stop", "load:<url>", "did_finish", "will_schedule:<seconds>"
    std::vector<std::string> events;
    std::vector<Alert> alerts;
    struct ChoiceAlert {
        std::string message;
        std::vector<std::string> buttons;
        bool dismiss_is_default;
    };
    std::vector<ChoiceAlert> choice_alerts;
    std::vector<Request> requests;
    std::vector<std::string> log_lines;
    std::vector<Timer> timers;
    std::vector<std::function<void(UrlResponse)>> pending_loads;  // with Delivery::later

    int stops() const;
    std::vector<Timer> active_timers() const;

    // The delegate the controller is created with; it records into `events`.
    UpdaterDelegate delegate();

    // Runs queued tasks, including those they queue, until the queue is empty.
    void run_main_queue();
    // Moves the clock to the earliest active timer, fires it, then drains the queue. False when no
    // timer is armed.
    bool fire_next_timer();
    // Completes the oldest request held with Delivery::later.
    void complete_pending(UrlResponse response);
    void join_workers();

    // UpdaterHost
    void dispatch_main(std::function<void()> task) override;
    TimerId add_timer(double fire_date, std::function<void()> fire) override;
    void invalidate_timer(TimerId timer) override;
    double now() override { return clock; }
    void stop_application() override;
    void show_alert(std::string_view message, std::string_view informative) override;
    std::optional<std::size_t> show_choice_alert(std::string_view message, std::string_view informative,
                                                 const std::vector<std::string>& buttons,
                                                 bool dismiss_is_default) override;
    void load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                  std::function<void(UrlResponse)> completion) override;
    std::optional<std::string> info_string(std::string_view key) override;
    std::optional<std::string> environment_value(std::string_view name) override;
    void log(std::string_view message) override;
    TransferId download_to_file(std::string_view, const std::filesystem::path&, double, std::uint64_t,
                                DownloadProgress, std::function<void(UrlResponse)> completion) override {
        UrlResponse response;
        response.error_code = -1;
        completion(std::move(response));
        return 0;
    }
    void cancel_transfer(TransferId) override {}
    std::optional<std::filesystem::path> bundle_path() override { return std::nullopt; }
    std::optional<InfoDictionary> read_property_list(const std::filesystem::path&) override { return std::nullopt; }
    ProgressId show_progress(std::string_view, std::string_view, std::function<void()>) override { return 0; }
    void update_progress(ProgressId, std::optional<double>, std::string_view) override {}
    void close_progress(ProgressId) override {}

private:
    std::mutex queue_mutex_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    TimerId last_timer_id_ = 0;
};

// A response with HTTP status 200 and `body`.
UrlResponse http_ok(std::string body);
UrlResponse http_status(int status, std::string body = {});

// A feed item; empty fields are left out.
struct FeedItem {
    FeedItem(std::string version_, std::string short_version_ = {}, std::string link_ = {},
             std::string enclosure_url_ = {}, std::string os_ = {})
        : version(std::move(version_)),
          short_version(std::move(short_version_)),
          link(std::move(link_)),
          enclosure_url(std::move(enclosure_url_)),
          os(std::move(os_)) {}

    std::string version;
    std::string short_version;
    std::string link;
    std::string enclosure_url;
    std::string os;
};
// An RSS 2.0 appcast with the update framework's namespace bound to the prefix "sparkle".
std::string appcast_xml(const std::vector<FeedItem>& items);

}  // namespace kestrova::sparkle::testing
