// The bundle command: a bundle planned from its parsed options, with every check made before anything
// is written, then assembled aside and put in place.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/jlink_runtime.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

// A file or directory copied into Contents/Resources, at `destination` (relative to it).
struct ResourceCopy {
    fs::path source;
    fs::path destination;
    bool on_class_path = false;  // a Class-Path entry, which the JVM reaches through the manifest
};

// Everything a bundle is made of, gathered and checked before anything is written.
struct BundlePlan {
    fs::path out_dir;
    fs::path bundle;  // out_dir / NAME.app
    std::string name;
    std::vector<char> launcher;
    mode_t launcher_mode = 0755;
    std::vector<std::pair<std::string, std::vector<char>>> added_launchers;  // (name, burned)
    std::vector<std::string> added_main_classes;
    std::string info_plist;
    std::vector<fs::path> jars;        // the class path's, main JAR first
    std::vector<ResourceCopy> copies;  // Class-Path entries of the main JAR, then --resource
    fs::path support_jar;
    fs::path runtime;
    bool copy_runtime = false;
    bool jlink = false;
    std::vector<std::string> runtime_modules;  // with --jlink
    kestrova::pack::LinkSettings link;
    std::string main_class;
    std::vector<std::string> jvm_options;  // the record's, && not yet replaced
    std::optional<fs::path> updater;
    std::optional<fs::path> icon;
    std::optional<fs::path> mime_definition;  // copied as Contents/Resources/kestrova-mime-types.xml
    bool force = false;
};

// Gathers and checks what `kestrova-pack bundle` was given; throws PackError or UsageError with the
// one line that says what to change.
BundlePlan plan_bundle(const ParsedArgs& args);

// Assembles the planned bundle in a hidden directory beside it, checks a linked runtime, and only
// then puts it in place (replacing what is there only with --force).
void make_bundle(const BundlePlan& plan);

}  // namespace kestrova::pack
