// An X display of the test's own (Xvfb), and xdotool to find and dismiss dialogs on it, for tests
// that show real windows.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace kestrova::testing {

std::optional<std::string> find_in_path(const std::string& name);

// Processes whose parent is `parent`, whichever of its threads started them.
std::vector<pid_t> children_of(pid_t parent);

// The argument vector of a running process, from /proc.
std::vector<std::string> command_line_of(pid_t pid);

class XvfbDisplay {
public:
    // Starts Xvfb on a free display. Null, with `why_not` saying so, when Xvfb, zenity or xdotool
    // is not installed or the display does not come up.
    static std::unique_ptr<XvfbDisplay> start(std::string& why_not);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    const std::string& display() const { return display_; }

    // Options that put a child process on this display.
    ProcessOptions on_display(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    // Ids of the visible windows named exactly `title`.
    std::vector<std::string> windows_named(const std::string& title) const;

    // The WM_CLASS of a window, as xprop prints it: "demo-Demo", "demo-Demo". Empty when xprop
    // cannot read it.
    std::string wm_class(const std::string& window_id) const;

    // Waits for the window named exactly `title`, until `within` has passed, and gives it the
    // keyboard focus; its id once it has the focus, nothing when it never came or never took it.
    std::optional<std::string> focus(const std::string& title, std::chrono::milliseconds within) const;

    // Sends `key` to the window named exactly `title` once it has the focus; for keys that keep the
    // window up (moving between its buttons). Status 0 when the key went out.
    ProcessResult send_key(const std::string& title, const std::string& key,
                           std::chrono::milliseconds within = std::chrono::seconds(20)) const;

    // Closes the window named exactly `title` with `key`, and waits until it is gone. A dialog that
    // is up but not yet ready drops a key, so the key is sent again until the window goes or
    // `within` has passed. With `on_press` the dialog acts on the press: only the press goes to the
    // window, whose release would find nothing left. True once the window is gone.
    bool close_with_key(const std::string& title, const std::string& key, bool on_press,
                        std::chrono::milliseconds within = std::chrono::seconds(20)) const;

private:
    XvfbDisplay() = default;
    std::unique_ptr<BackgroundProcess> server_;
    std::string display_;
    std::string xdotool_;
};

}  // namespace kestrova::testing
