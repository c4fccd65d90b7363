#include "platform/alert.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kestrova/utf8.h"
#include "platform/linux/alert_internal.h"
#include "platform/linux/environment.h"
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
constexpr std::size_t max_diagnostics_bytes = 64 * 1024;

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
[[noreturn]] void exec_dialog(char* const* args, char* const* envp, pid_t launcher, int diagnostics_fd,
                              int answer_fd) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != launcher) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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
DialogResult run_and_wait(const std::vector<std::string>& argv, bool want_answer = false) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The tool's standard error goes to a memory file (when one can be made) to be read back.
    const int diagnostics_fd = ::memfd_create("kestrova-dialog-stderr", MFD_CLOEXEC);
    const int answer_fd = want_answer ? ::memfd_create("kestrova-dialog-stdout", MFD_CLOEXEC) : -1;
    if (want_answer && answer_fd < 0) {
        if (diagnostics_fd >= 0) ::close(diagnostics_fd);
        return {};
    }
    char* const* envp = linux_backend::captured_envp();
    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid == 0) exec_dialog(args.data(), envp, launcher, diagnostics_fd, answer_fd);
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
    if (diagnostics_fd >= 0) {
        diagnostics = read_back(diagnostics_fd);
        ::close(diagnostics_fd);
        if (!diagnostics.empty()) std::fwrite(diagnostics.data(), 1, diagnostics.size(), stderr);
    }
    DialogResult result;
    if (answer_fd >= 0) {
        result.answer = read_back(answer_fd);
        ::close(answer_fd);
    }
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

void run_modal_alert(std::string_view message_text, std::string_view informative_text) {
    const std::string title = sanitize_utf8(message_text);
    const std::string text = sanitize_utf8(informative_text);
    const std::string dialog_text = linux_backend::shorten_for_dialog(text);

    if (has_display()) {
        // Markup off: exception texts hold '<' and '&', which zenity would otherwise parse.
        if (auto zenity = linux_backend::find_program("zenity");
            zenity && run_and_wait({*zenity, "--error", "--no-markup", "--title=" + title, "--text=" + dialog_text}).shown)
            return;
        if (auto kdialog = linux_backend::find_program("kdialog");
            kdialog && run_and_wait({*kdialog, "--title", title, "--error", dialog_text}).shown)
            return;
    }
    // No display or no dialog tool: the user of a terminal still sees what happened.
    std::fprintf(stderr, "%s\n%s\n", title.c_str(), text.c_str());
}

std::optional<std::size_t> run_choice_alert(std::string_view message_text, std::string_view informative_text,
                                            const std::vector<std::string>& buttons, bool dismiss_is_default) {
    if (buttons.size() < 2 || !has_display()) return std::nullopt;
    const auto zenity = linux_backend::find_program("zenity");
    if (!zenity) return std::nullopt;
    std::vector<std::string> argv = {*zenity,
                                     "--question",
                                     "--no-markup",
                                     "--title=" + sanitize_utf8(message_text),
                                     "--text=" + linux_backend::shorten_for_dialog(sanitize_utf8(informative_text)),
                                     "--cancel-label=" + buttons[0],
                                     "--ok-label=" + buttons[1]};
    for (std::size_t i = 2; i < buttons.size(); ++i) argv.push_back("--extra-button=" + buttons[i]);
    if (dismiss_is_default) argv.push_back("--default-cancel");
    const DialogResult result = run_and_wait(argv, true);
    if (!result.shown) return std::nullopt;
    return linux_backend::chosen_button(result.exit_status, result.answer, buttons);
}

namespace {

// Progress shown as lines on standard error: no window, so no Cancel either, but the user of a
// terminal sees the update move, and the installation goes on as it would with a window.
struct TextProgress {
    std::string title;
    std::string text;
    int last_quarter = -1;  // a line per quarter of the way, not one per report
};

struct ProgressWindows {
    std::mutex mutex;
    std::map<ProgressWindowId, TextProgress> shown;
    ProgressWindowId next = 1;
};
ProgressWindows& progress_windows() {
    static NeverDestroyed<ProgressWindows> windows;
    return windows.get();
}

}  // namespace

ProgressWindowId show_progress_window(std::string_view title, std::string_view text, std::function<void()>) {
    ProgressWindows& w = progress_windows();
    std::lock_guard lock(w.mutex);
    const ProgressWindowId id = w.next++;
    TextProgress& p = w.shown[id];
    p.title = sanitize_utf8(title);
    p.text = sanitize_utf8(text);
    std::fprintf(stderr, "%s: %s\n", p.title.c_str(), p.text.c_str());
    return id;
}

void update_progress_window(ProgressWindowId window, std::optional<double> fraction, std::string_view text) {
    ProgressWindows& w = progress_windows();
    std::lock_guard lock(w.mutex);
    const auto found = w.shown.find(window);
    if (found == w.shown.end()) return;
    TextProgress& p = found->second;
    const std::string new_text = text.empty() ? p.text : sanitize_utf8(text);
    // The text of a download report carries its percentage, so it changes with every report: with a
    // fraction, only a new quarter of the way earns a line; without one, a new text (a new phase).
    bool worth_a_line = false;
    if (fraction && *fraction >= 0) {
        const int quarter = static_cast<int>(std::floor(std::min(*fraction, 1.0) * 4));
        worth_a_line = quarter != p.last_quarter;
        p.last_quarter = quarter;
    } else {
        worth_a_line = new_text != p.text;
    }
    p.text = new_text;
    if (worth_a_line) std::fprintf(stderr, "%s: %s\n", p.title.c_str(), p.text.c_str());
}

void close_progress_window(ProgressWindowId window) {
    ProgressWindows& w = progress_windows();
    std::lock_guard lock(w.mutex);
    w.shown.erase(window);
}

}  // namespace kestrova::platform
