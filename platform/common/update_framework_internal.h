// The update framework's loader below load_update_framework, for tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "kestrova/updater_abi.h"

namespace kestrova::platform::detail {

// Loads the stand-in at `path` and hands it the platform's services; null as
// load_update_framework() describes. Not cached: each call asks the library again.
const KestrovaUpdaterApi* load_update_framework_from(const std::string& path);

// The table of the platform's services that the stand-in receives. The same table for the whole
// process, never destroyed.
const KestrovaHostServices& host_services();

// Copies `value` into `buffer` as the info_string service does: NUL-terminated, cut to `size - 1`
// bytes, returning the full length, or -1 when `value` is absent.
long copy_info_string(const std::optional<std::string>& value, char* buffer, std::size_t size);

}  // namespace kestrova::platform::detail
