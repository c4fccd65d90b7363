// The launcher's half of the host services table (KestrovaHostServices in kestrova/updater_abi.h):
// every service the update framework calls, answered by the platform layer. The framework wraps it
// in updater/host_services_adapter.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "kestrova/updater_abi.h"
#include "platform/update_log.h"

namespace kestrova::updates {

// The table the framework receives: the same for the whole process, never destroyed.
const KestrovaHostServices& host_services();

// The framework's log: its own records (the log service) and the loader's about loading it.
platform::UpdateLog& framework_log();

namespace detail {

// Copies `value` into `buffer` as the info_string service does: NUL-terminated, cut to `size - 1`
// bytes, returning the full length, or -1 when `value` is absent.
long copy_info_string(const std::optional<std::string>& value, char* buffer, std::size_t size);

}  // namespace detail

}  // namespace kestrova::updates
