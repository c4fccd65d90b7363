// The modal alert: a message text (shown as the title line) and an informative text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::platform {

// Shows the alert and returns once the user has dismissed it. Texts that are not valid UTF-8 are
// shown with replacement characters. Main thread.
void run_modal_alert(std::string_view message_text, std::string_view informative_text);

// The same alert with the information icon instead of the error one, for news that is no error.
void run_information_alert(std::string_view message_text, std::string_view informative_text);

// Whether run_modal_alert can show a dialog on a display, rather than print its texts on standard
// error. Any thread.
bool can_show_dialog();

// An alert with a choice of buttons (at least two): `buttons[0]` is the one that dismisses it (also
// chosen by closing the window), `buttons[1]` the affirmative one, the rest further choices. The
// default is `buttons[1]`, or `buttons[0]` with `dismiss_is_default`. Returns the index chosen;
// nothing when no such dialog can be shown (no display, no dialog tool), so the caller falls back.
// `details`, when not empty, is plain text shown in a scrolled area below the informative text.
std::optional<std::size_t> run_choice_alert(std::string_view message_text, std::string_view informative_text,
                                            const std::vector<std::string>& buttons, bool dismiss_is_default,
                                            std::string_view details = {});

// A progress window with a Cancel button, shown until closed. `cancelled` runs at most once, on the
// main queue, when the user cancels, and never once close_progress_window has returned. Returns a
// nonzero id, or 0 when no progress can be shown at all. Main thread, as are the two below.
using ProgressWindowId = std::uint64_t;
ProgressWindowId show_progress_window(std::string_view title, std::string_view text, std::function<void()> cancelled);
// `fraction` from 0 to 1, nothing when unknown; an empty `text` keeps the one shown.
void update_progress_window(ProgressWindowId window, std::optional<double> fraction, std::string_view text);
// Harmless for a window already closed.
void close_progress_window(ProgressWindowId window);

}  // namespace kestrova::platform
