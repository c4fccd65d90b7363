#include "tools/bundle_inputs.h"

#include <algorithm>
#include <set>
#include <string>
#include <system_error>

#include "tools/jar_manifest.h"
#include "tools/jlink_runtime.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_cannot_list = "cannot read the --input directory \"{}\": {}; check the path";
constexpr std::string_view msg_broken_link =
    "skipping \"{}\" in --input: a link to \"{}\", which does not exist; the bundle leaves it out";
constexpr std::string_view msg_two_words =
    "--jvm-option \"{}\" is two words, which a JVM started by the launcher does not take; give it joined: "
    "--jvm-option={}";
constexpr std::string_view msg_word_alone =
    "--jvm-option \"{}\" needs its value in the same option, which a JVM started by the launcher requires; give it "
    "joined: --jvm-option={}=VALUE";
constexpr std::string_view msg_class_path_option =
    "--jvm-option \"{}\" sets a class path, which the bundle builds itself from its JARs; add the JARs with --jar, "
    "--main-jar or --input";

constexpr std::string_view msg_skipped_class_path =
    "the Class-Path of \"{}\" names \"{}\", which does not exist; java skips it, and so does the bundle";
constexpr std::string_view msg_not_class_path =
    "the Class-Path of \"{}\" names \"{}\", which is neither a JAR nor a directory, so java would not use it and "
    "the bundle does not carry it; drop it from the manifest";
constexpr std::string_view msg_absolute_directory =
    "the Class-Path of \"{}\" names the directory \"{}\" by its absolute path, which the bundle cannot carry; put "
    "its files in a JAR and add that with --jar";

constexpr std::string_view msg_bad_native_library =
    "--native-library \"{}\" is not a regular file; name the shared library (a .so file) itself";
constexpr std::string_view msg_native_twice =
    "two native libraries are called \"{}\" ({} and {}), which would be one in the bundle; rename one";

constexpr std::string_view library_path_option = "-Djava.library.path=";

constexpr std::string_view msg_missing_module_path =
    "{} names \"{}\", which does not exist; name the directory of the application's modules or their JARs";
constexpr std::string_view msg_module_path_twice =
    "{} names two entries called \"{}\", which would be one in the bundle; rename one";

// Whether java could open `path` as a JAR: a ZIP archive this user can read.
bool opens_as_jar(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    try {
        read_jar_manifest(path);
        return true;
    } catch (const PackError&) {
        return false;
    }
}

struct TwoWordOption {
    std::string_view word;
    std::string_view joined;  // the option the JVM takes, before its '='
};

// The java launcher's options whose value may follow as the next word. The short forms have no
// joined form of their own; the JVM takes the long one.
constexpr TwoWordOption two_word_options[] = {
    {"--add-exports", "--add-exports"},
    {"--add-opens", "--add-opens"},
    {"--add-reads", "--add-reads"},
    {"--add-modules", "--add-modules"},
    {"--module-path", "--module-path"},
    {"-p", "--module-path"},
    {"--upgrade-module-path", "--upgrade-module-path"},
    {"--patch-module", "--patch-module"},
    {"--limit-modules", "--limit-modules"},
    {"--enable-native-access", "--enable-native-access"},
};

constexpr std::string_view class_path_words[] = {"-cp", "-classpath", "--class-path"};

}  // namespace

std::vector<fs::path> jars_in_directory(const fs::path& dir, const std::function<void(const std::string&)>& warn) {
    std::vector<fs::path> jars;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) throw PackError(fill(msg_cannot_list, {dir.string(), ec.message()}));
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path path = it->path();
        const std::string name = path.filename().string();
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".jar") != 0) continue;
        std::error_code status_ec;
        if (fs::is_symlink(fs::symlink_status(path, status_ec)) && !fs::exists(fs::status(path, status_ec))) {
            warn(fill(msg_broken_link, {path.string(), fs::read_symlink(path, status_ec).string()}));
            continue;
        }
        if (fs::is_regular_file(path, status_ec)) jars.push_back(path);
    }
    if (ec) throw PackError(fill(msg_cannot_list, {dir.string(), ec.message()}));
    std::sort(jars.begin(), jars.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    return jars;
}

std::optional<std::string> two_word_option_refusal(std::span<const std::string> options) {
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::string& option = options[i];
        const auto space = option.find(' ');
        const std::string_view word = std::string_view(option).substr(0, space);
        for (const auto class_path : class_path_words)
            if (word == class_path) return fill(msg_class_path_option, {option});
        for (const auto& rule : two_word_options) {
            if (word != rule.word) continue;
            if (const auto value = option.find_first_not_of(' ', space == std::string::npos ? option.size() : space);
                value != std::string::npos)
                return fill(msg_two_words, {option, std::string(rule.joined) + "=" + option.substr(value)});
            if (i + 1 < options.size())
                return fill(msg_two_words,
                            {option + " " + options[i + 1], std::string(rule.joined) + "=" + options[i + 1]});
            return fill(msg_word_alone, {option, rule.joined});
        }
    }
    return std::nullopt;
}

std::vector<ClassPathFile> follow_class_paths(std::span<const fs::path> jars,
                                              const std::function<void(const std::string&)>& warn) {
    std::vector<ClassPathFile> files;
    std::set<fs::path> seen;
    std::error_code ec;
    for (const auto& jar : jars) seen.insert(fs::weakly_canonical(jar, ec));
    // Depth first: java opens a JAR's Class-Path entries right after the JAR, before what follows it.
    const std::function<void(const fs::path&, const fs::path&, std::size_t)> follow =
        [&](const fs::path& jar, const fs::path& destination_dir, std::size_t top) {
            std::optional<std::string> manifest;
            try {
                manifest = read_jar_manifest(jar);
            } catch (const PackError&) {
                return;  // java skips what it cannot open as a JAR (the main JAR was read before)
            }
            if (!manifest) return;
            const auto entries = class_path_entries(parse_manifest(*manifest), jar.string());
            std::vector<ClassPathFile> named;
            for (const auto& entry : entries.relative) {
                const fs::path source = jar.parent_path() / entry;
                if (!fs::exists(source, ec)) {
                    warn(fill(msg_skipped_class_path, {jar.string(), entry}));
                    continue;
                }
                named.push_back({source, destination_dir / entry, false, top, jar.string()});
            }
            for (const auto& entry : entries.absolute) {
                const fs::path source = entry;
                if (!fs::exists(source, ec)) {
                    warn(fill(msg_skipped_class_path, {jar.string(), entry}));
                    continue;
                }
                if (fs::is_directory(source, ec)) throw PackError(fill(msg_absolute_directory, {jar.string(), entry}));
                named.push_back({source, source.filename(), true, top, jar.string()});
            }
            for (auto& file : named) {
                if (!seen.insert(fs::weakly_canonical(file.source, ec)).second) continue;
                const fs::path source = file.source;
                const fs::path into = file.destination.parent_path();
                // A class path holds JARs and directories of classes, nothing else: whatever else a
                // manifest names (a key, /etc/shadow) would otherwise be copied and published.
                const bool directory = fs::is_directory(source, ec);
                if (!directory && !opens_as_jar(source))
                    throw PackError(fill(msg_not_class_path, {jar.string(), source.string()}));
                files.push_back(std::move(file));
                if (!directory) follow(source, into, top);
            }
        };
    for (std::size_t i = 0; i < jars.size(); ++i) follow(jars[i], {}, i);
    return files;
}

std::vector<ModulePathCopy> carry_module_paths(std::vector<std::string>& jvm_options) {
    std::vector<ModulePathCopy> copies;
    for (auto& option : jvm_options) {
        for (const std::string_view prefix : {"--module-path=", "--upgrade-module-path="}) {
            if (!option.starts_with(prefix)) continue;
            const std::string name(prefix.substr(0, prefix.size() - 1));
            std::string rewritten(prefix);
            bool first = true;
            for (const auto& entry : split_list(std::string_view(option).substr(prefix.size()), ':')) {
                rewritten += first ? "" : ":";
                first = false;
                if (entry.starts_with("&&")) {  // in the bundle already
                    rewritten += entry;
                    continue;
                }
                std::error_code ec;
                if (!fs::exists(entry, ec)) throw PackError(fill(msg_missing_module_path, {name, entry}));
                fs::path normal = fs::absolute(entry, ec).lexically_normal();
                if (normal.filename().empty()) normal = normal.parent_path();
                const fs::path destination = fs::path(carried_modules_dir) / normal.filename();
                for (const auto& copy : copies)
                    if (copy.destination == destination)
                        throw PackError(fill(msg_module_path_twice, {name, normal.filename().string()}));
                copies.push_back({normal, destination});
                rewritten += "&&/" + destination.string();
            }
            option = rewritten;
        }
    }
    return copies;
}

namespace {

// The last -Djava.library.path= of `jvm_options`, which is the one the JVM takes.
std::string* library_path_option_of(std::vector<std::string>& jvm_options) {
    std::string* last = nullptr;
    for (auto& option : jvm_options)
        if (option.starts_with(library_path_option)) last = &option;
    return last;
}

}  // namespace

bool names_absolute_library_path(std::span<const std::string> jvm_options) {
    const std::string* last = nullptr;
    for (const auto& option : jvm_options)
        if (option.starts_with(library_path_option)) last = &option;
    if (last == nullptr) return false;
    for (const auto& entry : split_list(std::string_view(*last).substr(library_path_option.size()), ':'))
        if (entry.starts_with('/')) return true;
    return false;
}

std::vector<NativeLibraryCopy> carry_native_libraries(std::vector<std::string>& jvm_options,
                                                      std::span<const std::string> library_names,
                                                      std::span<const fs::path> added) {
    std::vector<NativeLibraryCopy> copies;
    const auto carry = [&](const fs::path& source) {
        std::error_code ec;
        const fs::path destination = fs::path(carried_native_dir) / source.filename();
        for (const auto& copy : copies) {
            if (copy.destination != destination) continue;
            if (fs::equivalent(copy.source, source, ec)) return;
            throw PackError(
                fill(msg_native_twice, {source.filename().string(), copy.source.string(), source.string()}));
        }
        fs::path real = fs::canonical(source, ec);
        if (ec) real = source;
        copies.push_back({real, destination});
    };
    std::string* option = library_path_option_of(jvm_options);
    std::vector<std::string> entries;
    if (option != nullptr) entries = split_list(std::string_view(*option).substr(library_path_option.size()), ':');
    // A name the code builds from a constant part ("j3dcore-" + "ogl", as Java 3D does) is matched by
    // that part when it ends where names are joined.
    const auto loaded = [&](std::string_view name) {
        return std::any_of(library_names.begin(), library_names.end(), [&](const std::string& given) {
            return name == given || ((given.ends_with('-') || given.ends_with('_')) && name.starts_with(given));
        });
    };
    std::set<std::string> found;
    for (const auto& entry : entries) {
        if (!entry.starts_with('/')) continue;
        std::error_code ec;
        std::vector<fs::path> libraries;
        for (const auto& file : fs::directory_iterator(entry, ec)) libraries.push_back(file.path());
        std::sort(libraries.begin(), libraries.end());
        for (const auto& library : libraries) {
            const std::string file = library.filename().string();
            if (!file.starts_with("lib") || !file.ends_with(".so") || file.size() <= 6) continue;
            if (!loaded(std::string_view(file).substr(3, file.size() - 6)) || found.contains(file) ||
                !fs::is_regular_file(library, ec))
                continue;
            found.insert(file);  // the first directory that has it, as the JVM searches
            carry(library);
        }
    }
    for (const auto& library : added) {
        std::error_code ec;
        if (!fs::is_regular_file(library, ec)) throw PackError(fill(msg_bad_native_library, {library.string()}));
        carry(library);
    }
    const std::string carried = "&&/" + std::string(carried_native_dir);
    // Nothing of this machine's that the bundle loads: the option stays as given.
    if (copies.empty()) return copies;
    if (option == nullptr) {
        if (!added.empty()) jvm_options.push_back(std::string(library_path_option) + carried);
        return copies;
    }
    std::string rewritten(library_path_option);
    bool first = true;
    bool pointed = false;
    for (const auto& entry : entries) {
        if (entry.starts_with('/') && pointed) continue;
        rewritten += first ? "" : ":";
        first = false;
        if (entry.starts_with('/')) {
            rewritten += carried;
            pointed = true;
        } else {
            rewritten += entry;
        }
    }
    if (!pointed && !added.empty()) rewritten += (first ? "" : ":") + carried;
    *option = rewritten;
    return copies;
}

std::vector<std::string> needed_beyond_base(std::span<const std::string> needed) {
    // glibc's libraries, the C++ runtime, and the Java runtime's own (found in the bundle's runtime).
    constexpr std::string_view base_prefixes[] = {"libc.so",     "libm.so",      "libdl.so",     "libpthread.so",
                                                  "librt.so",    "libresolv.so", "ld-linux",     "libutil.so",
                                                  "libgcc_s.so", "libstdc++.so", "libjvm.so",    "libjava.so",
                                                  "libjawt.so",  "libawt",       "libverify.so", "libnet.so",
                                                  "libnio.so",   "libzip.so"};
    std::vector<std::string> beyond;
    for (const auto& name : needed) {
        const bool base = std::any_of(std::begin(base_prefixes), std::end(base_prefixes),
                                      [&](std::string_view prefix) { return name.starts_with(prefix); });
        if (!base) beyond.push_back(name);
    }
    return beyond;
}

}  // namespace kestrova::pack
