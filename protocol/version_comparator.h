// The update framework's standard version ordering: how a feed item's version is compared with the
// bundle's CFBundleVersion.
#pragma once

#include <string_view>

namespace kestrova::protocol {

// The result of comparing `a` with `b`: ascending means `a` is older than `b`.
enum class Ordering : int { ascending = -1, same = 0, descending = 1 };

// Compares two version strings (UTF-8; malformed bytes count as U+FFFD) the way the update framework
// does, working on UTF-16 code units:
//   - "1.0" = "1.0.0" (numeric runs are balanced with zeros), "1.01" = "1.1";
//   - pre-release letters are older: "1.0b1" < "1.0rc" < "1.0", but "1.0" < "1.0 (1234)";
//   - a '-' after the first character ends the version: "1.5.5-335d3e2" = "1.5.5";
//   - numbers saturate at the largest signed 64-bit value.
// This is not a strict weak ordering: with a leading '-', compare(" 1", "-1") and compare("-1", " 1")
// are both ascending, and a leading letter or space sorts below any number ("v2.0" < "1.0"). Use it
// for pairwise checks and linear "newest" scans, never as a std::sort predicate on unchecked input.
Ordering compare_versions(std::string_view a, std::string_view b);

}  // namespace kestrova::protocol
