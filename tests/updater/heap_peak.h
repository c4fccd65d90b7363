// The most memory the test program held through operator new, counted by this test binary's own
// replacement of the global operators (heap_peak.cpp).
#pragma once

#include <cstddef>

namespace kestrova::updater::testing {

// Starts a new measurement from what is held now.
void reset_heap_peak();
// The most held at once since then, above what was held at the reset.
std::size_t heap_peak_since_reset();

}  // namespace kestrova::updater::testing
