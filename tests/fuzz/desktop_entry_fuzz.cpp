// Feeds arbitrary bytes to the desktop-entry reader, as the update framework meets the files of
// the user's applications folder after an update: which bundle an entry names, and the entry
// rewritten for a renamed launcher; and the string escaping, both ways. Any file may lie there; none
// may crash the install, and the escaping must give back what it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "freedesktop/desktop_entries.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    namespace fd = kestrova::freedesktop;
    (void)fd::bundle_of_desktop_entry(input);
    const std::string rewritten = fd::desktop_entry_with_launcher(input, "/a/A.app/Contents/MacOS/Old",
                                                                  "/a/A.app/Contents/MacOS/New");
    // Rewriting for the same launcher leaves an entry as it is read, apart from the Exec form.
    (void)fd::desktop_entry_with_launcher(rewritten, "/a/A.app/Contents/MacOS/New", "/a/A.app/Contents/MacOS/New");
    // The escaped value is one line, and reads back as the value.
    const std::string escaped = fd::desktop_entry_escape(input);
    check(escaped.find('\n') == std::string::npos && escaped.find('\r') == std::string::npos);
    check(fd::desktop_entry_unescape(escaped) == input);
    (void)fd::desktop_entry_unescape(input);
    (void)fd::exec_argument(input);
    return 0;
}
