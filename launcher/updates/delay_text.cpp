#include "launcher/updates/delay_text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace kestrova {

std::string format_schedule_delay(double seconds) {
    std::uint32_t s = 0;
    if (seconds >= 4294967295.0) {
        s = 4294967295u;
    } else if (seconds > 0) {                                 // false for NaN too
        s = static_cast<std::uint32_t>(std::round(seconds));  // halves away from zero
    }
    const unsigned hours = s / 3600;
    const unsigned minutes = (s / 60) % 60;
    const unsigned secs = s % 60;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", hours, minutes, secs);
    return text;
}

}  // namespace kestrova
