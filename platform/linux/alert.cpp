#include "platform/alert.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "kestrova/utf8.h"
#include "platform/linux/environment.h"

namespace kestrova::platform {

namespace {

// Runs `argv` with the captured environment and waits for it. False when it could not be started
// or did not exit normally, so the caller can fall back.
bool run_and_wait(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), linux_backend::captured_envp()) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) return false;
    }
    // zenity and kdialog exit 0 for OK and 1 when the window is closed; anything else means the
    // dialog could not be shown.
    return WIFEXITED(status) && WEXITSTATUS(status) <= 1;
}

bool has_display() {
    const auto x11 = linux_backend::captured_variable("DISPLAY");
    const auto wayland = linux_backend::captured_variable("WAYLAND_DISPLAY");
    return (x11 && !x11->empty()) || (wayland && !wayland->empty());
}

}  // namespace

void run_modal_alert(std::string_view message_text, std::string_view informative_text) {
    const std::string title = sanitize_utf8(message_text);
    const std::string text = sanitize_utf8(informative_text);

    if (has_display()) {
        // Markup off: exception texts hold '<' and '&', which zenity would otherwise parse.
        if (auto zenity = linux_backend::find_program("zenity");
            zenity && run_and_wait({*zenity, "--error", "--no-markup", "--title=" + title, "--text=" + text}))
            return;
        if (auto kdialog = linux_backend::find_program("kdialog");
            kdialog && run_and_wait({*kdialog, "--title", title, "--error", text}))
            return;
    }
    // No display or no dialog tool: the user of a terminal still sees what happened.
    std::fprintf(stderr, "%s\n%s\n", title.c_str(), text.c_str());
}

}  // namespace kestrova::platform
