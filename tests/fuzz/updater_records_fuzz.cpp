// Feeds arbitrary bytes to the readers of what the update framework leaves on disk between starts:
// the staging area's ready marker and the kept versions' record. Another program, a damaged disk
// or a crash half-way may leave anything in their place; a start must read it as absent or as the
// exact text the framework writes, and never crash on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/install_steps.h"
#include "updater/previous_version.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    // What is taken for a marker is the marker mark_ready would write for it, byte for byte.
    if (const auto marker = kestrova::updater::parse_ready_marker(input))
        check(marker->first + "\n" + marker->second + "\n" == input);
    // And the record, with the text kept_versions_text writes.
    if (const auto kept = kestrova::updater::parse_kept_versions(input)) {
        check(!kept->previous.empty() && !kept->replaced_by.empty());
        check(kestrova::updater::kept_versions_text(*kept) == input);
    }
    return 0;
}
