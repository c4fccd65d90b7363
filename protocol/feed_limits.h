// What a client reads of an update feed: the release tool refuses to publish an appcast that a
// client would refuse to read, so both take the bound from here.
#pragma once

#include <cstddef>

namespace kestrova::protocol {

inline constexpr double feed_timeout_seconds = 30;
inline constexpr std::size_t max_feed_bytes = std::size_t{4} << 20;

}  // namespace kestrova::protocol
