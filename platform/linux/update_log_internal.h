// The update log's pieces below UpdateLog::create, for tests: the file backend with an explicit
// path (create() takes it from the environment copy once) and the line format.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/update_log.h"

namespace kestrova::platform::linux_backend {

// A log that appends its records to `path`, whatever KESTROVA_UPDATE_LOG says. Never destroyed.
UpdateLog* create_file_update_log(std::string path, std::string_view category);

// A log that sends its records to syslog under `subsystem`, whatever KESTROVA_UPDATE_LOG says.
UpdateLog* create_syslog_update_log(std::string_view subsystem, std::string_view category);

// `<time> <category>: <message>` and a newline, with each newline inside category and message
// written as the two characters `\n`. Time is ISO 8601 in UTC with milliseconds.
std::string format_log_line(std::chrono::system_clock::time_point time, std::string_view category,
                            std::string_view message);

}  // namespace kestrova::platform::linux_backend
