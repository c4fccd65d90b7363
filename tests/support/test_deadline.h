// One time limit for the whole of a test, inside the limit ctest gives it. Each wait of the test
// takes what it needs from what is left, so a wait that never ends fails with the test's own
// message, and ctest never kills the test halfway through a chain of waits that add up past its
// limit. The test target defines KESTROVA_TEST_TIMEOUT_SECONDS as the TIMEOUT its ctest cases get.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#ifndef KESTROVA_TEST_TIMEOUT_SECONDS
#error "KESTROVA_TEST_TIMEOUT_SECONDS must give the ctest TIMEOUT of this test target"
#endif

namespace kestrova::testing {

// What is kept back for the test's own end: killing what it started, stopping its display.
inline constexpr std::chrono::seconds time_for_teardown{15};

// The time the running test has left, at most `at_most`; never below zero.
inline std::chrono::milliseconds time_left(std::chrono::milliseconds at_most) {
    using namespace std::chrono;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return at_most;
    const auto started = system_clock::time_point(milliseconds(test->result()->start_timestamp()));
    const auto ends = started + seconds(KESTROVA_TEST_TIMEOUT_SECONDS) - time_for_teardown;
    const auto left = duration_cast<milliseconds>(ends - system_clock::now());
    return std::clamp(left, milliseconds(0), at_most);
}

}  // namespace kestrova::testing
