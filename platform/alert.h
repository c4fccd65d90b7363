// The modal alert: a message text (shown as the title line) and an informative text.
#pragma once

#include <string_view>

namespace kestrova::platform {

// Shows the alert and returns once the user has dismissed it. Texts that are not valid UTF-8 are
// shown with replacement characters. Main thread.
void run_modal_alert(std::string_view message_text, std::string_view informative_text);

// Whether run_modal_alert can show a dialog on a display, rather than print its texts on standard
// error. Any thread.
bool can_show_dialog();

}  // namespace kestrova::platform
