// The Linux alert's pure helpers, exposed for tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/child_process.h"

namespace kestrova::platform::linux_backend {

// Whether the captured environment names an X11 or Wayland display to show dialogs on.
bool has_display();

// What a dialog tool wrote to the memory file behind `fd`, from its start, bounded.
std::string read_dialog_output(int fd);

// How a dialog tool is started: standard input, output and error from the descriptors given (one
// below 0 keeps ours), nothing else of the launcher (the JVM's JARs, files and listening sockets
// would otherwise stay held by it), killed when the launcher ends.
ChildSetup dialog_setup(int input_fd, int answer_fd, int diagnostics_fd);

// Linux refuses a single program argument of 128 KiB or more, and the dialog tools take their text
// as one: a longer text would leave the user with no dialog at all. This bound leaves room for the
// option name in front of it.
inline constexpr std::size_t max_dialog_text_bytes = std::size_t{64} * 1024;

// `text` (valid UTF-8) as the dialog shows it: unchanged when it fits in `limit` bytes, otherwise
// cut at the last whole character that leaves room for a final "\n…".
std::string shorten_for_dialog(std::string_view text, std::size_t limit = max_dialog_text_bytes);

// Whether a dialog tool that exited with `exit_status`, having written `diagnostics` on its standard
// error, showed its dialog. zenity and kdialog exit 0 for OK and 1 when the user closes the window,
// but GTK also exits 1 when it cannot open the display, so its own words tell the two apart.
bool dialog_was_shown(int exit_status, std::string_view diagnostics);

// The button of `buttons` (as run_choice_alert takes them) that a zenity question dialog reports
// with `exit_status` and `answer` on its standard output: OK exits 0, Cancel and closing the window
// exit 1 in silence, an extra button exits 1 printing its label. Nothing when it fits none.
std::optional<std::size_t> chosen_button(int exit_status, std::string_view answer,
                                         const std::vector<std::string>& buttons);

// zenity's progress dialog takes its first text as Pango markup and, like every later one, with
// backslash escapes expanded (g_strcompress): `text` escaped so that it shows as written.
std::string progress_window_markup(std::string_view text);

// The line that sets the progress dialog's text to `text` on its standard input: "# " and the text
// with backslashes doubled and line breaks as "\n", so that the text is one line and shows as
// written (such lines are not markup).
std::string progress_window_text_line(std::string_view text);

}  // namespace kestrova::platform::linux_backend
