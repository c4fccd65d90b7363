// Feeds arbitrary bytes to what the packaging tool reads of a JAR it is given: the class-file
// reader (the constant pool's strings, classes and calls) and the manifest's parser, with the
// launch options and Class-Path entries made from it. A JAR may come from anywhere; none of its
// bytes may crash the tool, read out of bounds, or turn into an option that is not one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/jar_manifest.h"
#include "tools/packaging.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A heap copy of exactly `size` bytes, so any read past the end is caught.
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const auto references = kestrova::pack::class_file_references(input);
    // Sorted and each once, as the reader promises.
    check(std::is_sorted(references.classes.begin(), references.classes.end()));
    check(std::adjacent_find(references.classes.begin(), references.classes.end()) == references.classes.end());

    const auto attributes = kestrova::pack::parse_manifest(input);
    for (const auto& [name, value] : attributes) {
        // Lines end at CR or LF; no name or value holds one.
        check(name.find_first_of("\r\n") == std::string::npos);
        check(value.find_first_of("\r\n") == std::string::npos);
    }
    try {
        const auto launch = kestrova::pack::manifest_launch(attributes, "fuzz.jar");
        for (const auto& option : launch.jvm_options) check(option.starts_with("--"));
        // No entry of the bundle's class path leads out of the JAR's directory.
        for (const auto& entry : launch.class_path)
            check(!entry.empty() && !entry.starts_with('/') && entry != ".." && !entry.starts_with("../"));
        for (const auto& entry : launch.absolute_class_path) check(entry.starts_with('/'));
    } catch (const kestrova::pack::PackError&) {
    }
    return 0;
}
