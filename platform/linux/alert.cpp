#include "platform/alert.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"
#include "kestrova/utf8.h"
#include "platform/linux/alert_internal.h"
#include "platform/linux/environment.h"
#include "platform/main_queue.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace linux_backend {

std::string shorten_for_dialog(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    constexpr std::string_view marker = "\n\u2026";  // a line break and an ellipsis
    std::size_t cut = limit > marker.size() ? limit - marker.size() : 0;
    // Back off to the first byte of a character: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    std::string shortened(text.substr(0, cut));
    shortened += marker;
    return shortened;
}

std::optional<std::size_t> chosen_button(int exit_status, std::string_view answer,
                                         const std::vector<std::string>& buttons) {
    if (exit_status == 0) return buttons.size() > 1 ? std::optional<std::size_t>(1) : std::nullopt;
    if (exit_status != 1) return std::nullopt;
    // An extra button prints its label on a line of its own; Cancel and closing the window print nothing.
    if (answer.ends_with('\n')) answer.remove_suffix(1);
    if (answer.empty()) return 0;
    for (std::size_t i = 2; i < buttons.size(); ++i)
        if (buttons[i] == answer) return i;
    return std::nullopt;
}

bool dialog_was_shown(int exit_status, std::string_view diagnostics) {
    if (exit_status == 0) return true;
    return exit_status == 1 && diagnostics.find("cannot open display") == std::string_view::npos;
}

}  // namespace linux_backend

namespace {

// What a dialog tool writes on standard error is kept for the decision above, then passed on to
// ours, so the user still sees it.
constexpr std::size_t max_diagnostics_bytes = std::size_t{64} * 1024;

std::string read_back(int fd) {
    std::string text(max_diagnostics_bytes, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t n = ::pread(fd, text.data() + filled, text.size() - filled, static_cast<off_t>(filled));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    text.resize(filled);
    return text;
}

// In the child between fork and exec: only async-signal-safe calls. The dialog gets standard input,
// output and error and nothing else of the launcher (the JVM's JARs, files and listening sockets
// would otherwise stay held by it), and it is killed when the launcher ends, however it ends.
[[noreturn]] void exec_dialog(char* const* args, char* const* envp, pid_t launcher, int diagnostics_fd, int answer_fd,
                              int input_fd = -1) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != launcher) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (input_fd >= 0 && dup2(input_fd, 0) < 0) _exit(127);
    if (diagnostics_fd >= 0 && dup2(diagnostics_fd, 2) < 0) _exit(127);
    if (answer_fd >= 0 && dup2(answer_fd, 1) < 0) _exit(127);
    if (close_range(3, ~0U, 0) != 0) {
        // Kernels before 5.9: close them one by one, up to the descriptor limit.
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (limit > 0 ? limit : 65536); ++fd) close(static_cast<int>(fd));
    }
    execve(args[0], args, envp);
    _exit(127);
}

struct DialogResult {
    bool shown = false;  // false: not started, or it showed no dialog, so the caller can fall back
    int exit_status = 0;
    std::string answer;  // its standard output, when asked for
};

// Runs `argv` with the captured environment and waits for it; with `want_answer` its standard
// output is kept instead of passed on.
DialogResult run_and_wait(const std::vector<std::string>& argv, bool want_answer = false, int input_fd = -1) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The tool's standard error goes to a memory file (when one can be made) to be read back.
    const FileDescriptor diagnostics_fd(::memfd_create("kestrova-dialog-stderr", MFD_CLOEXEC));
    const FileDescriptor answer_fd(want_answer ? ::memfd_create("kestrova-dialog-stdout", MFD_CLOEXEC) : -1);
    if (want_answer && !answer_fd.valid()) return {};
    char* const* envp = linux_backend::captured_envp();
    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid == 0) exec_dialog(args.data(), envp, launcher, diagnostics_fd.get(), answer_fd.get(), input_fd);
    const int spawned = pid > 0 ? 0 : errno;
    int status = 0;
    bool exited = false;
    if (spawned == 0) {
        pid_t waited;
        do {
            waited = waitpid(pid, &status, 0);
        } while (waited == -1 && errno == EINTR);
        exited = waited == pid && WIFEXITED(status);
    }
    std::string diagnostics;
    if (diagnostics_fd.valid()) {
        diagnostics = read_back(diagnostics_fd.get());
        if (!diagnostics.empty()) std::fwrite(diagnostics.data(), 1, diagnostics.size(), stderr);
    }
    DialogResult result;
    if (answer_fd.valid()) result.answer = read_back(answer_fd.get());
    result.exit_status = exited ? WEXITSTATUS(status) : -1;
    result.shown = spawned == 0 && exited && linux_backend::dialog_was_shown(result.exit_status, diagnostics);
    return result;
}

bool has_display() {
    const auto x11 = linux_backend::captured_variable("DISPLAY");
    const auto wayland = linux_backend::captured_variable("WAYLAND_DISPLAY");
    return (x11 && !x11->empty()) || (wayland && !wayland->empty());
}

}  // namespace

bool can_show_dialog() {
    return has_display() && (linux_backend::find_program("zenity") || linux_backend::find_program("kdialog"));
}

namespace {

enum class AlertIcon { error, information };

void run_alert(std::string_view message_text, std::string_view informative_text, AlertIcon icon) {
    const std::string title = sanitize_utf8(message_text);
    const std::string text = sanitize_utf8(informative_text);
    const std::string dialog_text = linux_backend::shorten_for_dialog(text);

    if (has_display()) {
        // Markup off: exception texts hold '<' and '&', which zenity would otherwise parse.
        if (auto zenity = linux_backend::find_program("zenity");
            zenity && run_and_wait({*zenity, icon == AlertIcon::error ? "--error" : "--info", "--no-markup",
                                    "--title=" + title, "--text=" + dialog_text})
                          .shown)
            return;
        if (auto kdialog = linux_backend::find_program("kdialog");
            kdialog &&
            run_and_wait({*kdialog, "--title", title, icon == AlertIcon::error ? "--error" : "--msgbox", dialog_text})
                .shown)
            return;
    }
    // No display or no dialog tool: the user of a terminal still sees what happened.
    std::fprintf(stderr, "%s\n%s\n", title.c_str(), text.c_str());
}

}  // namespace

void run_modal_alert(std::string_view message_text, std::string_view informative_text) {
    run_alert(message_text, informative_text, AlertIcon::error);
}

void run_information_alert(std::string_view message_text, std::string_view informative_text) {
    run_alert(message_text, informative_text, AlertIcon::information);
}

namespace {

// The choice with a text beside it: zenity's text view, which scrolls, holds the informative text and
// the details in a memory file on its standard input, never as markup (the text view shows text as
// it is). Its buttons answer as the question's do.
std::optional<std::size_t> run_choice_with_details(const std::string& zenity, std::string_view message_text,
                                                   std::string_view informative_text, std::string_view details,
                                                   const std::vector<std::string>& buttons) {
    const FileDescriptor text_fd(::memfd_create("kestrova-dialog-text", MFD_CLOEXEC));
    if (!text_fd.valid()) return std::nullopt;
    const std::string text = sanitize_utf8(informative_text) + "\n\n" + sanitize_utf8(details) + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(text_fd.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    if (written != text.size() || ::lseek(text_fd.get(), 0, SEEK_SET) != 0) return std::nullopt;
    std::vector<std::string> argv = {zenity,
                                     "--text-info",
                                     "--title=" + sanitize_utf8(message_text),
                                     "--width=560",
                                     "--height=420",
                                     "--cancel-label=" + buttons[0],
                                     "--ok-label=" + buttons[1]};
    for (std::size_t i = 2; i < buttons.size(); ++i) argv.push_back("--extra-button=" + buttons[i]);
    const DialogResult result = run_and_wait(argv, true, text_fd.get());
    if (!result.shown) return std::nullopt;
    return linux_backend::chosen_button(result.exit_status, result.answer, buttons);
}

}  // namespace

std::optional<std::size_t> run_choice_alert(std::string_view message_text, std::string_view informative_text,
                                            const std::vector<std::string>& buttons, bool dismiss_is_default,
                                            std::string_view details) {
    if (buttons.size() < 2 || !has_display()) return std::nullopt;
    const auto zenity = linux_backend::find_program("zenity");
    if (!zenity) return std::nullopt;
    // The text view has no option to make the dismissing button the default, so such a choice, and
    // one the text view could not show, is the question with the details in its text.
    if (!details.empty() && !dismiss_is_default) {
        if (const auto chosen = run_choice_with_details(*zenity, message_text, informative_text, details, buttons))
            return chosen;
    }
    const std::string question_text = details.empty() ? std::string(informative_text)
                                                      : std::string(informative_text) + "\n\n" + std::string(details);
    std::vector<std::string> argv = {*zenity,
                                     "--question",
                                     "--no-markup",
                                     "--title=" + sanitize_utf8(message_text),
                                     "--text=" + linux_backend::shorten_for_dialog(sanitize_utf8(question_text)),
                                     "--cancel-label=" + buttons[0],
                                     "--ok-label=" + buttons[1]};
    for (std::size_t i = 2; i < buttons.size(); ++i) argv.push_back("--extra-button=" + buttons[i]);
    if (dismiss_is_default) argv.push_back("--default-cancel");
    const DialogResult result = run_and_wait(argv, true);
    if (!result.shown) return std::nullopt;
    return linux_backend::chosen_button(result.exit_status, result.answer, buttons);
}

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
    pid_t pid = -1;
    FileDescriptor input_fd;        // our end of its standard input
    FileDescriptor diagnostics_fd;  // its standard error, a memory file
    int last_percent = -1;
    std::string unsent;   // what its input could not take yet, so that no line is ever cut in two
    bool reaped = false;  // from then on its pid may be another process's: never signalled
    bool closed = false;  // close_progress_window has begun: no cancel from then on
    std::function<void()> cancelled;
    std::thread watcher;
};

struct ProgressWindows {
    std::mutex mutex;
    std::condition_variable reaped;
    std::map<ProgressWindowId, std::shared_ptr<ProgressWindow>> shown;
    ProgressWindowId next = 1;
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
    siginfo_t info{};
    int waited;
    do {
        waited = ::waitid(P_PID, static_cast<id_t>(w->pid), &info, WEXITED | WNOWAIT);
    } while (waited == -1 && errno == EINTR);

    std::unique_lock lock(all.mutex);
    int status = 0;
    while (::waitpid(w->pid, &status, 0) == -1 && errno == EINTR) {
    }
    w->reaped = true;
    all.reaped.notify_all();

    std::string diagnostics;
    if (w->diagnostics_fd.valid()) {
        diagnostics = read_back(w->diagnostics_fd.get());
        w->diagnostics_fd.close();
    }
    if (!diagnostics.empty()) std::fwrite(diagnostics.data(), 1, diagnostics.size(), stderr);
    if (w->closed) return;

    const bool exited = waited == 0 && info.si_code == CLD_EXITED;
    const int exit_status = exited ? info.si_status : -1;
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
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    char* const* envp = linux_backend::captured_envp();
    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid == 0) exec_dialog(args.data(), envp, launcher, diagnostics_fd.get(), -1, theirs.get());
    theirs.close();
    if (pid < 0) return false;
    w->pid = pid;
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
    const ProgressWindowId id = all.next++;
    all.shown[id] = w;
    const auto zenity = has_display() ? linux_backend::find_program("zenity") : std::nullopt;
    if (!zenity || !start_dialog(w, *zenity)) print_progress_line(*w);
    return id;
}

void update_progress_window(ProgressWindowId window, std::optional<double> fraction, std::string_view text) {
    ProgressWindows& all = progress_windows();
    std::lock_guard lock(all.mutex);
    const auto found = all.shown.find(window);
    if (found == all.shown.end()) return;
    ProgressWindow& w = *found->second;
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
        const auto found = all.shown.find(window);
        if (found == all.shown.end()) return;
        w = found->second;
        all.shown.erase(found);
        w->closed = true;
        w->cancelled = nullptr;
        w->input_fd.close();  // at the end of its input zenity greys out Cancel
        if (w->pid > 0 && !w->reaped) {
            // Unreaped, the pid is still our child's, running or a zombie: signalling it is safe.
            siginfo_t info{};
            const bool running = ::waitid(P_PID, static_cast<id_t>(w->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                                 info.si_pid == 0;
            if (running) ::kill(w->pid, SIGTERM);
            // GTK ends at once on SIGTERM; one that hangs is killed outright.
            if (!all.reaped.wait_for(lock, std::chrono::seconds(2), [&] { return w->reaped; })) {
                ::kill(w->pid, SIGKILL);
            }
        }
    }
    if (w->watcher.joinable()) w->watcher.join();
}

}  // namespace kestrova::platform
