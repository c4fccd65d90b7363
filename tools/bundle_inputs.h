// The inputs of a bundle beyond single JARs: every JAR of a directory, and the check that a JVM
// option given on the command line is one the JVM takes as it is written.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// The JARs (names ending in ".jar") directly in `dir`, in byte order of their names. A link that
// leads nowhere is skipped and reported to `warn` with a one-line text; other entries that are not
// regular files are ignored. Throws PackError when `dir` cannot be read.
std::vector<std::filesystem::path> jars_in_directory(const std::filesystem::path& dir,
                                                     const std::function<void(const std::string&)>& warn);

// The java launcher accepts some options as two words (`--add-opens X`), but a JVM created through
// JNI takes each option as one string and only in its joined form (`--add-opens=X`). For the first
// such option among `options` (a word alone, or the two words in one value), the one-line refusal
// that shows the form to use; nullopt when every option can go to the JVM as it is.
std::optional<std::string> two_word_option_refusal(std::span<const std::string> options);

}  // namespace kestrova::pack
