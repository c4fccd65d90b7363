// The launch gate: before the application starts, compares the bundle's version with the one the
// update site announces, and holds the launch for an update check when the site is newer.
#pragma once

#include <optional>
#include <string>

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// Either returns (the launch goes on) or ends the process after the hold's update check: the
// version the check installed starts in this process's place, and a declined or failed install
// ends with status 0. A hold whose check offered nothing newer (the feed unreachable, unreadable,
// or not ahead of the bundle) held the launch for nothing, so it returns too.
void run_update_gate(const KestrovaUpdaterApi& framework, bool console);

// Whether the updater's last user-initiated check offered the user a newer version; false when no
// updater was started. Main thread.
bool last_check_offered_update();

// After the hold's check: the launcher of the version it installed in place of the bundle;
// nothing when it installed none. Main thread.
std::optional<std::string> installed_launcher();

}  // namespace kestrova::updates
