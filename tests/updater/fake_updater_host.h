// A host for the updater controller that the test drives by hand: a main queue it drains, timers it
// fires, a URL loader answering from a table (at once, later, or from another thread), downloads
// into real files, the real property list reader, and a record of every alert, progress window,
// stop, request, delegate call and log line.
#pragma once

#include "updater/standard_user_driver.h"
#include "updater/updater_controller.h"
#include "updater/updater_host.h"

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kestrova::updater::testing {

// An absolute time well after 2001, so that "now - interval" stays positive.
inline constexpr double test_epoch = 700'000'000;

class FakeUpdaterHost final : public UpdaterHost {
public:
    enum class Delivery { at_once, later, worker_thread };

    struct Alert {
        std::string message;
        std::string informative;
        bool information = false;  // the information icon, not the error one
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
        std::string informative;
        std::string details;
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
    void show_information(std::string_view message, std::string_view informative) override;
    std::optional<std::size_t> show_choice_alert(std::string_view message, std::string_view informative,
                                                 std::string_view details, const std::vector<std::string>& buttons,
                                                 bool dismiss_is_default) override;
    void load_url(std::string_view url, double timeout_seconds, std::size_t max_body_bytes,
                  std::function<void(UrlResponse)> completion) override;
    std::optional<std::string> info_string(std::string_view key) override;
    std::optional<std::string> environment_value(std::string_view name) override;
    void log(std::string_view message) override;
    TransferId download_to_file(std::string_view url, const std::filesystem::path& destination, double timeout_seconds,
                                std::uint64_t max_bytes, DownloadProgress progress,
                                std::function<void(UrlResponse)> completion) override;
    void cancel_transfer(TransferId transfer) override;
    std::optional<std::filesystem::path> bundle_path() override { return bundle; }
    std::optional<InfoDictionary> read_property_list(const std::filesystem::path& path) override;
    ProgressId show_progress(std::string_view title, std::string_view text, std::function<void()> cancelled) override;
    void update_progress(ProgressId progress, std::optional<double> fraction, std::string_view text) override;
    void close_progress(ProgressId progress) override;
    bool lock_installation_exclusively() override;
    // No lock is held here: what the path holds is all the installer can go by.
    std::optional<bool> installation_at(const std::filesystem::path&) override { return std::nullopt; }
    // Other copies of the installation run: the lock cannot be had alone.
    bool other_copies_run = false;

    // --- Installing -------------------------------------------------------------------------------
    // Bodies download_to_file writes into its file, by address; an address not listed fails to
    // connect. Half the body is written at once, the rest when the transfer completes: at once, or
    // with hold_downloads when the test calls finish_downloads (or cancels).
    std::map<std::string, std::string, std::less<>> downloads;
    bool hold_downloads = false;
    std::optional<std::filesystem::path> bundle;
    struct Download {
        std::string url;
        std::filesystem::path destination;
        double timeout_seconds;
        std::uint64_t max_bytes;
    };
    std::vector<Download> download_requests;
    // The open progress window's Cancel button (empty when none is open) and every text it showed.
    std::function<void()> press_cancel;
    std::vector<std::string> progress_texts;

    void finish_downloads();

private:
    std::mutex queue_mutex_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    TimerId last_timer_id_ = 0;

    struct Transfer {
        TransferId id;
        std::filesystem::path destination;
        std::string rest;  // what is still to be written
        bool too_long;
        DownloadProgress progress;
        std::function<void(UrlResponse)> completion;
        std::uint64_t written;
    };
    void complete(Transfer transfer);
    std::vector<Transfer> transfers_;
    TransferId last_transfer_id_ = 0;
    ProgressId last_progress_id_ = 0;
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

}  // namespace kestrova::updater::testing
