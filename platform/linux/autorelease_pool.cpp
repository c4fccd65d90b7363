// Linux has no reference-counted framework objects for a pool to collect: push and pop are empty.
#include "platform/autorelease_pool.h"

namespace kestrova::platform {

AutoreleasePool::AutoreleasePool() = default;
AutoreleasePool::~AutoreleasePool() = default;

}  // namespace kestrova::platform
