// The launcher's half of the updater API table (KestrovaUpdaterApi in kestrova/updater_abi.h):
// finding the update framework in the bundle, loading it and handing it the host services
// (host_services.h). The framework answers it in updater/updater_api.cpp.
#pragma once

#include <string>

#include "kestrova/updater_abi.h"

namespace kestrova::updates {

// Loads the update framework from the Frameworks directory of the bundle that holds the executable
// (never through the library search path) and hands it the host services. Null when it is absent,
// cannot be loaded, lacks its entry point or refuses the services: the framework is not available.
// Loaded at most once; later calls return the first answer.
const KestrovaUpdaterApi* load_update_framework();

namespace detail {

// Loads the framework at `path` and hands it the host services; null as load_update_framework()
// describes. Not cached: each call asks the library again. For tests.
const KestrovaUpdaterApi* load_update_framework_from(const std::string& path);

}  // namespace detail

}  // namespace kestrova::updates
