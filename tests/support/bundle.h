// Builds real bundles for end-to-end tests with the packaging tool, from the artefacts of this build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace kestrova::testing {

struct Artefacts {
    static std::filesystem::path pack_tool();
    static std::filesystem::path launcher_template();
    static std::filesystem::path support_jar();
    static std::filesystem::path probe_jar();
    static std::filesystem::path fake_launcher_jar();
    static std::filesystem::path no_native_updater_jar();
    static std::filesystem::path java_home();
    static std::filesystem::path fixture_main_jar();    // a manifest with Class-Path and Add-Opens
    static std::filesystem::path fixture_helper_jar();  // what that Class-Path names
    static std::filesystem::path demo_jar();            // the Swing demo of examples/
};

struct BundleRecipe {
    std::string name = "Probe";
    std::string main_class = "probe.Probe";
    std::vector<std::filesystem::path> jars = {Artefacts::probe_jar()};
    std::vector<std::string> jvm_options;
    std::vector<std::string> args;
    std::vector<std::string> flags;  // e.g. "--console", "--main-thread"
    std::optional<std::uint32_t> stack_size;
    std::vector<std::string> extra;  // further arguments for `kestrova-pack bundle`
    // A support JAR of the test's own in place of the real one (it comes first on the class path).
    std::optional<std::filesystem::path> support_jar;
};

// Assembles `out_dir`/<name>.app and returns the path of its executable. Fails the calling test
// (by exception) with the tool's own message when the tool refuses.
std::filesystem::path make_bundle(const std::filesystem::path& out_dir, const BundleRecipe& recipe);

// Runs a bundle's executable the way the system would: no LD_LIBRARY_PATH, nothing of the test's
// Java option variables, no display unless the caller gives one.
ProcessResult launch(const std::filesystem::path& executable, const std::vector<std::string>& args = {},
                     ProcessOptions options = {});

// The same launch, left running for the test to act on it while it runs.
BackgroundProcess launch_in_background(const std::filesystem::path& executable,
                                       const std::vector<std::string>& args = {}, ProcessOptions options = {});

}  // namespace kestrova::testing
