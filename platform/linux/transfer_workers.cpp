#include "platform/linux/transfer_workers.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "platform/never_destroyed.h"

namespace kestrova::platform::linux_backend {

namespace {

// Whether a worker was ever started, and whether the process has begun to end; one lock for both, so
// that no worker can start between end_process's look and its choice of exit.
struct WorkerGate {
    std::mutex mutex;
    bool started = false;
    bool closed = false;
};
WorkerGate& worker_gate() {
    static NeverDestroyed<WorkerGate> gate;
    return gate.get();
}

}  // namespace

bool close_url_loading() {
    WorkerGate& gate = worker_gate();
    std::lock_guard lock(gate.mutex);
    gate.closed = true;
    return gate.started;
}

Started start_worker(std::function<void()> work) {
    WorkerGate& gate = worker_gate();
    std::lock_guard lock(gate.mutex);
    // The process is ending: nothing may enter libcurl now, and nobody is left to hear the result.
    if (gate.closed) return Started::closing;
    // Set before the thread exists: a worker that started unseen would let exit() run under it.
    gate.started = true;
    try {
        // Transfers are rare (an appcast now and then, an update), so a thread of its own for each is simplest.
        std::thread(std::move(work)).detach();
    } catch (const std::system_error&) {
        return Started::no_thread;
    }
    return Started::yes;
}

}  // namespace kestrova::platform::linux_backend
