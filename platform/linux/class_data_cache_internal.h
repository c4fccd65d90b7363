// What end_process needs of the class-data cache.
#pragma once

namespace kestrova::platform::linux_backend {

// Starts the helper that start_class_data_helper_at_end asked for, if any; once.
void start_pending_class_data_helper() noexcept;

}  // namespace kestrova::platform::linux_backend
