// The Linux alert's pure helpers, exposed for tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova::platform::linux_backend {

// Linux refuses a single program argument of 128 KiB or more, and the dialog tools take their text
// as one: a longer text would leave the user with no dialog at all. This bound leaves room for the
// option name in front of it.
inline constexpr std::size_t max_dialog_text_bytes = 64 * 1024;

// `text` (valid UTF-8) as the dialog shows it: unchanged when it fits in `limit` bytes, otherwise
// cut at the last whole character that leaves room for a final "\n…".
std::string shorten_for_dialog(std::string_view text, std::size_t limit = max_dialog_text_bytes);

// Whether a dialog tool that exited with `exit_status`, having written `diagnostics` on its standard
// error, showed its dialog. zenity and kdialog exit 0 for OK and 1 when the user closes the window,
// but GTK also exits 1 when it cannot open the display, so its own words tell the two apart.
bool dialog_was_shown(int exit_status, std::string_view diagnostics);

}  // namespace kestrova::platform::linux_backend
