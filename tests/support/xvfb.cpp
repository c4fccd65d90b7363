#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <thread>

namespace kestrova::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A process may end while its /proc files are read, and the stream throws for that read (ESRCH):
// a process that is gone has no text, and the caller's listing goes on without it.
std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) {
        text.clear();
    }
    return text;
}

// xdotool matches window names with extended regular expressions; the title must match whole.
std::string exact_name_pattern(const std::string& text) {
    std::string pattern = "^";
    for (char c : text) {
        if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

}  // namespace

std::optional<std::string> find_in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t from = 0;;) {
        const auto colon = dirs.find(':', from);
        const std::string dir = dirs.substr(from, colon == std::string::npos ? colon : colon - from);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return std::nullopt;
        from = colon + 1;
    }
}

std::vector<std::string> command_line_of(pid_t pid) {
    const std::string raw = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    for (std::size_t from = 0; from < raw.size();) {
        const auto nul = raw.find('\0', from);
        args.push_back(raw.substr(from, nul - from));
        if (nul == std::string::npos) break;
        from = nul + 1;
    }
    return args;
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = read_file(entry.path() / "stat");
        // "pid (comm) state ppid ...": the command name may hold spaces and parentheses.
        const auto close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        const auto ppid_at = stat.find(' ', close + 2);
        if (ppid_at == std::string::npos) continue;
        if (std::stol(stat.substr(ppid_at + 1)) == parent) children.push_back(std::stoi(name));
    }
    return children;
}

std::unique_ptr<XvfbDisplay> XvfbDisplay::start(std::string& why_not) {
    for (const char* tool : {"Xvfb", "zenity", "xdotool"}) {
        if (!find_in_path(tool)) {
            why_not = std::string(tool) + " is not installed (packages xvfb, zenity, xdotool)";
            return nullptr;
        }
    }
    std::unique_ptr<XvfbDisplay> x(new XvfbDisplay);
    x->xdotool_ = *find_in_path("xdotool");

    // Xvfb picks a free display and writes its number to the descriptor it is given once it
    // accepts connections. -noreset: by default the server resets whenever its last client leaves,
    // and a client connecting during the reset cannot open the display; the tests' own xdotool
    // calls come and go all the time, so a dialog started beside them would fail now and then.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why_not = "pipe failed";
        return nullptr;
    }
    x->server_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{*find_in_path("Xvfb"), "-displayfd",
                                                                              std::to_string(fds[1]), "-noreset",
                                                                              "-nolisten", "tcp", "-screen", "0",
                                                                              "1024x768x24"},
                                                     ProcessOptions{}, std::vector<int>{fds[1]});
    close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;  // Xvfb exited without a display
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    const auto end = number.find('\n');
    if (end == std::string::npos) {
        why_not = "Xvfb did not start: " + x->server_->err();
        return nullptr;
    }
    x->display_ = ":" + number.substr(0, end);
    return x;
}

XvfbDisplay::~XvfbDisplay() {
    // Asked to end, Xvfb removes its lock file and socket.
    kill(server_->pid(), SIGTERM);
    server_->wait(5s);
}

ProcessOptions XvfbDisplay::on_display(std::chrono::milliseconds timeout) const {
    ProcessOptions options;
    options.env["DISPLAY"] = display_;
    options.timeout = timeout;
    return options;
}

std::vector<std::string> XvfbDisplay::windows_named(const std::string& title) const {
    const auto r = run_process({xdotool_, "search", "--onlyvisible", "--name", exact_name_pattern(title)},
                               on_display(5s));
    std::vector<std::string> ids;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) ids.push_back(line);
    return ids;
}

std::string XvfbDisplay::wm_class(const std::string& window_id) const {
    const auto xprop = find_in_path("xprop");
    if (!xprop) return {};
    const auto r = run_process({*xprop, "-id", window_id, "WM_CLASS"}, on_display(5s));
    // WM_CLASS(STRING) = "instance", "class"
    const auto equals = r.out.find(" = ");
    if (r.exit_status != 0 || equals == std::string::npos) return {};
    std::string value = r.out.substr(equals + 3);
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

std::optional<std::string> XvfbDisplay::focus(const std::string& title, std::chrono::milliseconds within) const {
    // Xvfb runs no window manager: windowactivate fails there and GTK ignores keys sent with
    // --window, so the window is given the input focus and keys are typed into it.
    const auto deadline = std::chrono::steady_clock::now() + within;
    do {
        for (const auto& id : windows_named(title)) {
            run_process({xdotool_, "windowfocus", id}, on_display(5s));
            const auto focused = run_process({xdotool_, "getwindowfocus", "-f"}, on_display(5s));
            if (focused.exit_status == 0 && focused.out == id + "\n") return id;
        }
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

ProcessResult XvfbDisplay::send_key(const std::string& title, const std::string& key,
                                    std::chrono::milliseconds within) const {
    if (!focus(title, within)) return {1, false, "", "no window named \"" + title + "\" took the focus"};
    return run_process({xdotool_, "key", key}, on_display(5s));
}

bool XvfbDisplay::close_with_key(const std::string& title, const std::string& key, bool on_press,
                                 std::chrono::milliseconds within) const {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto id = focus(title, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now()));
        if (!id) return windows_named(title).empty();
        run_process({xdotool_, on_press ? "keydown" : "key", key}, on_display(5s));
        if (on_press) run_process({xdotool_, "keyup", key}, on_display(5s));
        // A key the dialog took closes it within moments; one it dropped leaves it up.
        const auto answered_by = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < answered_by) {
            const auto up = windows_named(title);
            if (std::find(up.begin(), up.end(), *id) == up.end()) return true;
            std::this_thread::sleep_for(50ms);
        }
    }
    return false;
}

}  // namespace kestrova::testing
