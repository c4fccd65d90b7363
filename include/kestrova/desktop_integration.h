// A bundle the user downloaded that puts itself in the desktop's menu at a start of its own: the
// file it may carry (its keys are in info_plist_keys.h), and the rule that decides what a start does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// The shared-mime-info definition of the types, a file of Contents/Resources, when the bundle
// carries one.
inline constexpr std::string_view desktop_mime_definition_file = "kestrova-mime-types.xml";

enum class DesktopIntegration { no, ask, yes };

DesktopIntegration desktop_integration_of(const std::optional<std::string>& value);

// What a start knows when it decides.
struct DesktopIntegrationFacts {
    DesktopIntegration mode = DesktopIntegration::no;
    bool console = false;          // started as a console command
    bool package_managed = false;  // the system's package manager installed it
    bool owned_by_user = false;    // the bundle's folder is the user's, and the user is not root
    bool writable = false;         // the user may change the bundle's folder
    bool has_entry = false;        // the user's applications folder holds an entry of this bundle
    // What the state folder remembers: the user's answer, or that the entries were written once.
    std::optional<bool> remembered;
    bool can_ask = false;  // a dialog can be shown
};

enum class DesktopIntegrationStep { nothing, write, ask };

// Only a GUI start of a copy the user owns and may change, which no package manager installed,
// does anything, and only once: an entry of its own, or any answer remembered, means it is done (an
// entry the user removed stays removed). "ask" without a dialog waits for a start that has one.
DesktopIntegrationStep desktop_integration_step(const DesktopIntegrationFacts& facts);

// The state file's text for an answer, and the answer a state file's text gives.
std::string_view desktop_integration_answer_text(bool yes);
std::optional<bool> desktop_integration_answer(std::string_view text);

}  // namespace kestrova
