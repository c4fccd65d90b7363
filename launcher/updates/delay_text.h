// How the launcher writes the delay before a scheduled update check.
#pragma once

#include <string>

namespace kestrova {

// A delay in seconds as "HH:MM:SS": rounded half away from zero, negative and NaN as 0, clamped to
// 4294967295 s; the hours are not reduced modulo 24 and grow past two digits when needed.
std::string format_schedule_delay(double seconds);

}  // namespace kestrova
