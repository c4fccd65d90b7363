#include "launcher/updates/delay_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrova {
namespace {

TEST(ScheduleDelayText, Table) {
    struct Case {
        double seconds;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "00:00:00"},
        {0.4, "00:00:00"},
        {0.5, "00:00:01"},
        {2.5, "00:00:03"},
        {59.49, "00:00:59"},
        {59.5, "00:01:00"},
        {3599.5, "01:00:00"},
        {3661, "01:01:01"},
        {86400, "24:00:00"},
        {360000, "100:00:00"},
        {-0.4, "00:00:00"},
        {-3600, "00:00:00"},
        {std::nan(""), "00:00:00"},
        {-std::numeric_limits<double>::infinity(), "00:00:00"},
        {4294967294.4, "1193046:28:14"},
        {4294967295.0, "1193046:28:15"},
        {1e20, "1193046:28:15"},
        {std::numeric_limits<double>::infinity(), "1193046:28:15"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_schedule_delay(c.seconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace kestrova
