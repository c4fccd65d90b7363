// What `java -jar` takes from a JAR's manifest: the main class, the module openings and exports
// it grants the application, native access, and the JARs its Class-Path names.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// The text of META-INF/MANIFEST.MF in `jar`, read with libarchive; nullopt when the JAR has none.
// Throws PackError when the file is not a readable ZIP archive.
std::optional<std::string> read_jar_manifest(const std::filesystem::path& jar);

// A method a class file calls: its class and name, both as the constant pool writes them.
struct MethodReference {
    std::string owner;  // internal form, a/b/C
    std::string name;
    auto operator<=>(const MethodReference&) const = default;
};

// What a class file's constant pool refers to: its string constants (CONSTANT_String: what
// `ldc "text"` loads, the argument of Class.forName("...") among them) in constant pool order, the
// classes it names in code (class entries, and the types in the descriptors of the members it
// uses), sorted and each once, and the methods it calls. Empty for bytes that are not a class file.
struct ClassFileReferences {
    std::vector<std::string> strings;
    std::vector<std::string> classes;
    std::vector<MethodReference> methods;
};
ClassFileReferences class_file_references(std::string_view class_file);

// What a JAR's classes refer to, each sorted and once. The class names it names only as text,
// where no class dependency analysis looks: its class files' string constants that have the form
// of a class name (a.b.C or a/b/C), and the service types of its META-INF/services/ entries, in
// internal form (a/b/C). The classes its code names, and the methods its code calls. Throws
// PackError when the file is not a readable ZIP archive.
// The library names: when a class file of the JAR calls System.loadLibrary or Runtime.loadLibrary,
// the string constants of all its class files that have the form of a library's name (letters,
// digits, '_', '-', '+', '.'): the names those calls may be given (j3dcore-ogl for
// libj3dcore-ogl.so); none otherwise.
struct JarReferences {
    std::vector<std::string> named_by_text;
    std::vector<std::string> named_by_code;
    std::vector<MethodReference> methods;
    std::vector<std::string> library_names;
};
JarReferences jar_references(const std::filesystem::path& jar);

// The main section's attributes (up to the first blank line), continuation lines joined. Names
// are case-insensitive in a manifest; the keys here are as written, and lookups go through
// manifest_value.
using ManifestAttributes = std::map<std::string, std::string>;
ManifestAttributes parse_manifest(std::string_view text);
std::optional<std::string> manifest_value(const ManifestAttributes& attributes, std::string_view name);

struct ManifestLaunch {
    std::optional<std::string> main_class;
    // --add-opens=M/P=ALL-UNNAMED, --add-exports=M/P=ALL-UNNAMED, --enable-native-access=ALL-UNNAMED,
    // as java -jar grants them to the class path.
    std::vector<std::string> jvm_options;
    // The modules the openings and exports name: a runtime made for the application must hold them.
    std::vector<std::string> modules;
    // Class-Path entries as relative file paths (percent-escapes decoded), in order.
    std::vector<std::string> class_path;
    // Class-Path entries that name a file of this machine by its absolute path, in order.
    std::vector<std::string> absolute_class_path;
};

// The Class-Path entries of a manifest, relative and absolute (a path from /, a file: URL), in
// order, %-escapes decoded. Throws PackError (naming `jar_name`) for a URL of another scheme, an
// entry that climbs out of the JAR's directory and a broken escape.
struct ClassPathEntries {
    std::vector<std::string> relative;
    std::vector<std::string> absolute;
};
ClassPathEntries class_path_entries(const ManifestAttributes& attributes, std::string_view jar_name);

// Reads the launch-relevant attributes. Throws PackError (naming `jar_name`) for what cannot be
// honoured: an Add-Opens or Add-Exports value that is not MODULE/PACKAGE, an Enable-Native-Access
// other than ALL-UNNAMED, and the Class-Path entries class_path_entries refuses.
ManifestLaunch manifest_launch(const ManifestAttributes& attributes, std::string_view jar_name);

// The manifest's --add-opens/--add-exports options (as manifest_launch makes them) that name a
// module or package the runtime lacks, from what that runtime's java printed when started with
// them all: "WARNING: Unknown module: M specified to --add-exports", "WARNING: package P not in M".
// java -jar applies what it can of a manifest and says nothing of the rest; a JVM given the same as
// options warns at every start.
std::vector<std::string> grants_the_runtime_lacks(std::span<const std::string> manifest_options,
                                                  std::string_view java_output);

}  // namespace kestrova::pack
