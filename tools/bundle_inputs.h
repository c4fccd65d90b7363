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

// A file that a Class-Path entry names, as the bundle carries it.
struct ClassPathFile {
    std::filesystem::path source;
    std::filesystem::path destination;  // relative to Contents/Resources
    // Named by its absolute path: the JVM would look for it there on the user's machine, so the
    // bundle's own class path names the copy, after the JAR at `top_jar`.
    bool absolute = false;
    std::size_t top_jar = 0;  // the index, in the JARs given, of the JAR whose Class-Path led here
    std::string named_by;     // the JAR whose manifest names it
};

// Follows the Class-Path of each of `jars` (each carried as Contents/Resources/<its file name>) and
// of the JARs those name, as java follows them: a relative entry is carried at the same place
// relative to the naming JAR, an absolute one at the top of Contents/Resources by its file name.
// Each file once, in the order java meets them. Throws PackError, with the fix, for an absolute
// entry that names a directory, an entry that is neither a directory nor a JAR java could open
// (the bundle would carry and publish it; the text names the JAR that asked for it), and what
// class_path_entries refuses. An entry that names nothing, of the main JAR as of any other (a
// library's optional dependency that is not installed, a JAR of a JDK long gone), is skipped, as
// java skips it, and reported to `warn`.
std::vector<ClassPathFile> follow_class_paths(std::span<const std::filesystem::path> jars,
                                              const std::function<void(const std::string&)>& warn);

// A module path entry outside the bundle (a directory of modules, a modular JAR), as the bundle
// carries it.
struct ModulePathCopy {
    std::filesystem::path source;
    std::filesystem::path destination;  // relative to Contents/Resources
};

// The directory in Contents/Resources that module path entries from outside the bundle go to.
inline constexpr std::string_view carried_modules_dir = "module-path";

// Rewrites the --module-path= and --upgrade-module-path= values of `jvm_options` so that every
// entry outside the bundle (not under the app directory token &&) names its copy in the bundle,
// &&/module-path/NAME, and returns the copies to make, in order. Throws PackError for an entry
// that does not exist, and for two entries of one file name.
std::vector<ModulePathCopy> carry_module_paths(std::vector<std::string>& jvm_options);

// A native library the bundle carries, in Contents/Resources/native/.
struct NativeLibraryCopy {
    std::filesystem::path source;       // the file itself, links followed
    std::filesystem::path destination;  // relative to Contents/Resources
};

// The directory in Contents/Resources that carried native libraries go to.
inline constexpr std::string_view carried_native_dir = "native";

// Whether the -Djava.library.path= that the JVM takes (the last) names a directory by absolute path,
// which a bundle on another machine may lack.
bool names_absolute_library_path(std::span<const std::string> jvm_options);

// Carries the native libraries a bundle loads from directories of this machine: lib<NAME>.so for
// each of `library_names` (what the JARs pass to System.loadLibrary; one that ends in '-' or '_' is
// also the start of a name the code completes at run time) in the absolute directories of
// the last -Djava.library.path=, from the first that has it as the JVM searches, and each of
// `added` (--native-library). Rewrites that option so that its absolute entries become one
// &&/native where the first of them was, or adds -Djava.library.path=&&/native when `added` is
// given without it; when nothing is carried, the option stays as it is. Throws PackError for an added library that is not a regular file, and for two
// of one file name.
std::vector<NativeLibraryCopy> carry_native_libraries(std::vector<std::string>& jvm_options,
                                                      std::span<const std::string> library_names,
                                                      std::span<const std::filesystem::path> added);

// The libraries among `needed` (an ELF file's DT_NEEDED names) that are not the system's base
// (the C library's, the C++ runtime's) nor the Java runtime's own: what the machine a bundle goes
// to must have for a carried library to load.
std::vector<std::string> needed_beyond_base(std::span<const std::string> needed);

}  // namespace kestrova::pack
