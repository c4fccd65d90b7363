// The class-data archive at the start of the launcher: what a start adds to the JVM's options, and
// the helper process that makes the archive later.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

// Appends to `jvm_options` (expanded, in the order the JVM gets them) what this start does about
// the bundle's class-data archive: names a complete archive made for exactly this start, or
// records the classes it loads and starts the helper that makes one from them once it has ended,
// or adds nothing. Never fails the start: whatever cannot be had leaves the options as they were.
void add_class_data_options(std::vector<std::string>& jvm_options, bool console, const std::string& executable);

}  // namespace kestrova
