// The launcher's update log: created by setup_sparkle before any other thread exists, then only read.
#pragma once

#include <initializer_list>
#include <string_view>

#include "platform/update_log.h"

namespace kestrova::updates {

// The handle; null before setup_sparkle has created it.
extern platform::UpdateLog* update_log;

// Writes one record at the default level when that level is enabled.
void log_record(std::string_view format, std::initializer_list<std::string_view> args = {});

}  // namespace kestrova::updates
