// The gate between transfers' workers and the end of the process: every worker starts through it,
// and end_process closes it, so that no worker starts once the process has begun to end and
// end_process knows whether one ever ran.
#pragma once

#include <functional>

namespace kestrova::platform::linux_backend {

enum class Started { yes, closing, no_thread };

// Starts `work` on a worker of its own, unless the process has begun to end; when it did not start,
// it never runs.
Started start_worker(std::function<void()> work);

// Refuses every later start (a transfer's completion then never runs: the process is ending) and
// says whether a worker was ever started.
bool close_url_loading();

}  // namespace kestrova::platform::linux_backend
