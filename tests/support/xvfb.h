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

    // Waits for the window named exactly `title`, focuses it and sends `key`; with `press_only`
    // only the key press goes to the window (a dialog that closes on the press has no window left
    // for the release), and the release follows on its own.
    ProcessResult send_key(const std::string& title, const std::string& key, bool press_only = false) const;

private:
    XvfbDisplay() = default;
    std::unique_ptr<BackgroundProcess> server_;
    std::string display_;
    std::string xdotool_;
};

}  // namespace kestrova::testing
