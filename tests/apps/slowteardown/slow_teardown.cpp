// A native library whose teardown at exit takes a while, as an application's own library may when it
// flushes or closes something: preloaded into a launch, it holds the process between the shared
// libraries' exit-time teardown and the process's end for 300 ms.
#include <unistd.h>

namespace {

__attribute__((destructor)) void slow_teardown() { usleep(300000); }

}  // namespace
