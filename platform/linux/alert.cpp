#include "platform/alert.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"
#include "kestrova/utf8.h"
#include "platform/linux/alert_internal.h"
#include "platform/linux/child_process.h"
#include "platform/linux/environment.h"

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

namespace {
// What a dialog tool writes on standard error is kept for the decision above, then passed on to
// ours, so the user still sees it.
constexpr std::size_t max_diagnostics_bytes = std::size_t{64} * 1024;
}  // namespace

std::string read_dialog_output(int fd) {
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

ChildSetup dialog_setup(int input_fd, int answer_fd, int diagnostics_fd) {
    ChildSetup setup;
    setup.input = ChildStream::from(input_fd);
    setup.output = ChildStream::from(answer_fd);
    setup.error = ChildStream::from(diagnostics_fd);
    // Killed when the launcher ends, however it ends: a dialog must not outlive what it speaks for.
    setup.dies_with_parent = true;
    return setup;
}

}  // namespace linux_backend

namespace {

struct DialogResult {
    bool shown = false;  // false: not started, or it showed no dialog, so the caller can fall back
    int exit_status = 0;
    std::string answer;  // its standard output, when asked for
};

// Runs `argv` with the captured environment and waits for it; with `want_answer` its standard
// output is kept instead of passed on.
DialogResult run_and_wait(const std::vector<std::string>& argv, bool want_answer = false, int input_fd = -1) {
    // The tool's standard error goes to a memory file (when one can be made) to be read back.
    const FileDescriptor diagnostics_fd(::memfd_create("kestrova-dialog-stderr", MFD_CLOEXEC));
    const FileDescriptor answer_fd(want_answer ? ::memfd_create("kestrova-dialog-stdout", MFD_CLOEXEC) : -1);
    if (want_answer && !answer_fd.valid()) return {};
    linux_backend::Child dialog;
    const int spawned =
        linux_backend::start_child(argv, linux_backend::dialog_setup(input_fd, answer_fd.get(), diagnostics_fd.get()),
                                   dialog);
    const linux_backend::ChildEnd end = spawned == 0 ? dialog.reap() : linux_backend::ChildEnd{};
    const bool exited = end.exited;
    std::string diagnostics;
    if (diagnostics_fd.valid()) {
        diagnostics = linux_backend::read_dialog_output(diagnostics_fd.get());
        if (!diagnostics.empty()) std::fwrite(diagnostics.data(), 1, diagnostics.size(), stderr);
    }
    DialogResult result;
    if (answer_fd.valid()) result.answer = linux_backend::read_dialog_output(answer_fd.get());
    result.exit_status = exited ? end.exit_status : -1;
    result.shown = spawned == 0 && exited && linux_backend::dialog_was_shown(result.exit_status, diagnostics);
    return result;
}

}  // namespace

bool linux_backend::has_display() {
    const auto x11 = captured_variable("DISPLAY");
    const auto wayland = captured_variable("WAYLAND_DISPLAY");
    return (x11 && !x11->empty()) || (wayland && !wayland->empty());
}

bool can_show_dialog() {
    return linux_backend::has_display() &&
           (linux_backend::find_program("zenity") || linux_backend::find_program("kdialog"));
}

namespace {

enum class AlertIcon { error, information };

void run_alert(std::string_view message_text, std::string_view informative_text, AlertIcon icon) {
    const std::string title = sanitize_utf8(message_text);
    const std::string text = sanitize_utf8(informative_text);
    const std::string dialog_text = linux_backend::shorten_for_dialog(text);

    if (linux_backend::has_display()) {
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
    if (buttons.size() < 2 || !linux_backend::has_display()) return std::nullopt;
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

}  // namespace kestrova::platform
