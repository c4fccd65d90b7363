// The launch gate: before the application starts, compares the bundle's version with the one the
// update site announces, and holds the launch for an update check when the site is newer.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// Whether the launch is held for an update check: the update site announces a version newer than
// the bundle's that the updater can check for. Every other outcome (the site unreachable or
// unreadable, not ahead of the bundle, a version put back here before) is logged, and the launch
// goes on. Main thread, before any other thread exists.
bool launch_is_held_for_update(const KestrovaUpdaterApi& framework, bool console);

}  // namespace kestrova::updates
