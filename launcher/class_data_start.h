// The class-data archive at the start of the launcher: what a start adds to the JVM's options, and
// the helper process that makes the archive later.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace kestrova {

// The options that follow `jvm_options` (a launch plan's, expanded, in the order the JVM gets
// them) for what this start does about the bundle's class-data archive: name a complete archive
// made for exactly this start, or record the classes it loads and start the helper that makes one
// from them once it has ended, or nothing. Never fails the start: whatever cannot be had adds none.
std::vector<std::string> class_data_start_options(std::span<const std::string> jvm_options, bool console,
                                                  const std::string& executable);

}  // namespace kestrova
