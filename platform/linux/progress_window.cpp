// The progress window: zenity's progress dialog fed through its standard input, or lines on
// standard error where no dialog can be shown.
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "kestrova/handle_registry.h"
#include "kestrova/text.h"
#include "kestrova/utf8.h"
#include "platform/alert.h"
#include "platform/linux/alert_internal.h"
#include "platform/linux/child_process.h"
#include "platform/linux/environment.h"
#include "platform/main_queue.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace linux_backend {

std::string progress_window_markup(std::string_view text) {
    // The references hold no backslash, so doubling the backslashes afterwards doubles only the text's.
    std::string out;
    for (const char c : escape_markup(text)) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string progress_window_text_line(std::string_view text) {
    std::string line = "# ";
    for (const char c : text) {
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += ' ';
        } else {
            line += c;
        }
    }
    line += '\n';
    return line;
}

}  // namespace linux_backend

namespace {

// A progress window is zenity's progress dialog fed through its standard input, or, when no such
// dialog can be shown (no display, no zenity, or zenity could not open the display), lines on
// standard error: no Cancel then, but the user of a terminal sees the update move, and the
// installation goes on as it would with a window.
struct ProgressWindow {
    std::string title;
    std::string text;
    bool as_lines = true;   // progress goes to standard error
    int last_quarter = -1;  // lines come one per quarter of the way, not one per report

    // The dialog, while there is one.
    linux_backend::Child dialog;
    FileDescriptor input_fd;        // our end of its standard input
    FileDescriptor diagnostics_fd;  // its standard error, a memory file
    int last_percent = -1;
    std::string unsent;   // what its input could not take yet, so that no line is ever cut in two
    bool closed = false;  // close_progress_window has begun: no cancel from then on
    std::function<void()> cancelled;
    std::thread watcher;
};

struct ProgressWindows {
    std::mutex mutex;
    std::condition_variable reaped;
    HandleRegistry<std::shared_ptr<ProgressWindow>, ProgressWindowId> shown;
};
ProgressWindows& progress_windows() {
    static NeverDestroyed<ProgressWindows> windows;
    return windows.get();
}

void print_progress_line(const ProgressWindow& w) { std::fprintf(stderr, "%s: %s\n", w.title.c_str(), w.text.c_str()); }

// Writes what is pending on the dialog's input without ever blocking the main thread or raising
// SIGPIPE: the input is a socket, so send() takes MSG_NOSIGNAL, and a dialog that has exited (the
// user cancelled it, say) makes the write fail with EPIPE, which is ignored. A dialog that stopped
// reading keeps its backlog, bounded; later reports are dropped until it drains.
void send_pending(ProgressWindow& w) {
    while (!w.unsent.empty() && w.input_fd.valid()) {
        const ssize_t n = ::send(w.input_fd.get(), w.unsent.data(), w.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            w.unsent.clear();  // gone: nothing more will be read
            return;
        }
        w.unsent.erase(0, static_cast<std::size_t>(n));
    }
}

constexpr std::size_t max_unsent_bytes = std::size_t{16} * 1024;

void queue_for_dialog(ProgressWindow& w, const std::string& lines) {
    if (w.unsent.size() + lines.size() <= max_unsent_bytes) w.unsent += lines;
    send_pending(w);
}

// The watcher: waits for the dialog to end, then tells a Cancel (or the window closed by the user)
// from a dialog that never appeared and from one we closed ourselves. It leaves the child unreaped
// until it holds the lock, so that close_progress_window never signals a pid that was reused.
// Its own share of the window, by value: the thread keeps the window alive while it watches.
void watch_dialog(std::shared_ptr<ProgressWindow> w) {  // NOLINT(performance-unnecessary-value-param)
    ProgressWindows& all = progress_windows();
    const linux_backend::ChildEnd end = w->dialog.wait_for_end();

    std::unique_lock lock(all.mutex);
    w->dialog.reap();
    all.reaped.notify_all();

    std::string diagnostics;
    if (w->diagnostics_fd.valid()) {
        diagnostics = linux_backend::read_dialog_output(w->diagnostics_fd.get());
        w->diagnostics_fd.close();
    }
    if (!diagnostics.empty()) std::fwrite(diagnostics.data(), 1, diagnostics.size(), stderr);
    if (w->closed) return;

    const bool exited = end.exited;
    const int exit_status = exited ? end.exit_status : -1;
    if (!exited || !linux_backend::dialog_was_shown(exit_status, diagnostics)) {
        // It never showed (a display it could not open, a zenity that would not start) or died of
        // a signal not ours: the progress goes on as lines, and nothing was cancelled.
        w->as_lines = true;
        print_progress_line(*w);
        return;
    }
    // zenity exits 1 for Cancel and for a window closed by the user; 0 for OK, which it offers only
    // once the bar is full.
    if (exit_status != 1) return;
    lock.unlock();
    dispatch_async_main([w] {
        std::function<void()> cancelled;
        {
            std::lock_guard inner(progress_windows().mutex);
            // Checked here, on the main thread: a close that returned before this block ran wins.
            if (w->closed) return;
            cancelled = std::move(w->cancelled);
            w->cancelled = nullptr;  // at most once
        }
        if (cancelled) cancelled();
    });
}

// Starts zenity's progress dialog for `w`; false when it could not be started.
bool start_dialog(const std::shared_ptr<ProgressWindow>& w, const std::string& zenity) {
    // A socket rather than a pipe, so that writes can say MSG_NOSIGNAL (see send_pending).
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    FileDescriptor ours(ends[0]);
    FileDescriptor theirs(ends[1]);
    ::shutdown(ours.get(), SHUT_RD);
    FileDescriptor diagnostics_fd(::memfd_create("kestrova-progress-stderr", MFD_CLOEXEC));

    // No --auto-close: the window stays until we close it, with the bar full while installing.
    const std::vector<std::string> argv = {zenity, "--progress", "--title=" + w->title,
                                           "--text=" + linux_backend::progress_window_markup(w->text),
                                           "--percentage=0"};
    linux_backend::Child dialog;
    const int spawned =
        linux_backend::start_child(argv, linux_backend::dialog_setup(theirs.get(), -1, diagnostics_fd.get()), dialog);
    theirs.close();
    if (spawned != 0) return false;
    w->dialog = std::move(dialog);
    w->input_fd = std::move(ours);
    w->diagnostics_fd = std::move(diagnostics_fd);
    w->as_lines = false;
    w->watcher = std::thread(watch_dialog, w);
    return true;
}

}  // namespace

ProgressWindowId show_progress_window(std::string_view title, std::string_view text, std::function<void()> cancelled) {
    ProgressWindows& all = progress_windows();
    auto w = std::make_shared<ProgressWindow>();
    w->title = sanitize_utf8(title);
    w->text = sanitize_utf8(text);
    w->cancelled = std::move(cancelled);
    std::lock_guard lock(all.mutex);
    const ProgressWindowId id = all.shown.add(w);
    const auto zenity = linux_backend::has_display() ? linux_backend::find_program("zenity") : std::nullopt;
    if (!zenity || !start_dialog(w, *zenity)) print_progress_line(*w);
    return id;
}

void update_progress_window(ProgressWindowId window, std::optional<double> fraction, std::string_view text) {
    ProgressWindows& all = progress_windows();
    std::lock_guard lock(all.mutex);
    const auto found = all.shown.find(window);
    if (!found) return;
    ProgressWindow& w = **found;
    const std::string new_text = text.empty() ? w.text : sanitize_utf8(text);
    const bool new_phase = new_text != w.text;
    w.text = new_text;
    const bool known = fraction && *fraction >= 0;
    const double part = known ? std::min(*fraction, 1.0) : 0;

    // Kept in either form, so that a dialog found not to show goes on as lines where it stands.
    const int quarter = known ? static_cast<int>(std::floor(part * 4)) : w.last_quarter;
    const bool new_quarter = quarter != w.last_quarter;
    w.last_quarter = quarter;

    if (!w.as_lines) {
        std::string lines;
        if (known) {
            // A hair over, so that 0.29 is 29 % as the text of the report says, not 28.
            const int percent = static_cast<int>(std::floor(part * 100 + 1e-9));
            if (percent != w.last_percent) lines += std::to_string(percent) + "\n";
            w.last_percent = percent;
        }
        if (new_phase) lines += linux_backend::progress_window_text_line(w.text);
        if (!lines.empty()) queue_for_dialog(w, lines);
        return;
    }
    // The text of a download report carries its percentage, so it changes with every report: with a
    // fraction, only a new quarter of the way earns a line; without one, a new text (a new phase).
    if (known ? new_quarter : new_phase) print_progress_line(w);
}

void close_progress_window(ProgressWindowId window) {
    ProgressWindows& all = progress_windows();
    std::shared_ptr<ProgressWindow> w;
    {
        std::unique_lock lock(all.mutex);
        auto taken = all.shown.take(window);
        if (!taken) return;
        w = std::move(*taken);
        w->closed = true;
        w->cancelled = nullptr;
        w->input_fd.close();  // at the end of its input zenity greys out Cancel
        if (w->dialog.started() && !w->dialog.reaped()) {
            if (w->dialog.running()) w->dialog.signal(SIGTERM);
            // GTK ends at once on SIGTERM; one that hangs is killed outright.
            if (!all.reaped.wait_for(lock, std::chrono::seconds(2), [&] { return w->dialog.reaped(); }))
                w->dialog.signal(SIGKILL);
        }
    }
    if (w->watcher.joinable()) w->watcher.join();
}

}  // namespace kestrova::platform
