// Finding and loading the update framework stand-in from the bundle's Frameworks directory.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova::platform {

// Loads the update framework from the Frameworks directory of the bundle that holds the executable
// (never through the library search path) and hands it the platform's services. Null when it is absent, cannot be
// loaded, lacks its entry point or refuses the services: the framework is not available. Loaded at
// most once; later calls return the first answer.
const KestrovaUpdaterApi* load_update_framework();

}  // namespace kestrova::platform
