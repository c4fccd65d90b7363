// What the platform tests put into the environment before anything takes its copy.
#pragma once

#include <cstdint>
#include <string>

namespace kestrova::testing {

// The file KESTROVA_UPDATE_LOG names for this test process.
const std::string& update_log_path();

// A variable set before the copy is taken, with its value.
inline constexpr const char* captured_probe_name = "KESTROVA_PLATFORM_TEST_PROBE";
inline constexpr const char* captured_probe_value = "taken before the copy";

// A proxy on 127.0.0.1 that http_proxy names in the copy; no_proxy exempts 127.0.0.1, localhost
// and direct.invalid with its subdomains, so only requests for other hosts reach it. It answers
// "/" and "/appcast.xml" with proxied_body.
std::uint16_t proxy_port();
inline constexpr const char* proxied_body = "answered by the proxy";

}  // namespace kestrova::testing
