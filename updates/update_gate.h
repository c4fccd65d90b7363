// The launch gate: before the application starts, compares the bundle's version with the one the
// update site announces, and holds the launch for an update check when the site is newer.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// Either returns (the launch goes on) or ends the process after the hold's update check.
void run_update_gate(const KestrovaUpdaterApi& framework, bool console);

}  // namespace kestrova::updates
