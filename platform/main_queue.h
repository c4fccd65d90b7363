// The main queue: blocks handed to the main thread, run by its run loop in the order submitted.
#pragma once

#include <functional>

namespace kestrova::platform {

// Queues `block` for the main thread and returns at once.
void dispatch_async_main(std::function<void()> block);

// Queues `block` for the main thread and returns after it has run. Called on the main thread
// itself, it runs the block directly instead of waiting for itself.
void dispatch_async_and_wait_main(const std::function<void()>& block);

bool is_main_thread();

}  // namespace kestrova::platform
