#include "tests/support/bundle.h"

#include <stdexcept>

namespace kestrova::testing {

std::filesystem::path Artefacts::pack_tool() { return KESTROVA_TEST_PACK_TOOL; }
std::filesystem::path Artefacts::launcher_template() { return KESTROVA_TEST_LAUNCHER_TEMPLATE; }
std::filesystem::path Artefacts::support_jar() { return KESTROVA_TEST_SUPPORT_JAR; }
std::filesystem::path Artefacts::probe_jar() { return KESTROVA_TEST_PROBE_JAR; }
std::filesystem::path Artefacts::fake_launcher_jar() { return KESTROVA_TEST_FAKE_LAUNCHER_JAR; }
std::filesystem::path Artefacts::no_native_updater_jar() { return KESTROVA_TEST_NO_NATIVE_UPDATER_JAR; }
std::filesystem::path Artefacts::java_home() { return KESTROVA_TEST_JAVA_HOME; }
std::filesystem::path Artefacts::fixture_main_jar() { return KESTROVA_TEST_FIXTURE_MAIN_JAR; }
std::filesystem::path Artefacts::fixture_helper_jar() { return KESTROVA_TEST_FIXTURE_HELPER_JAR; }
std::filesystem::path Artefacts::demo_jar() { return KESTROVA_TEST_DEMO_JAR; }

std::filesystem::path make_bundle(const std::filesystem::path& out_dir, const BundleRecipe& recipe) {
    std::vector<std::string> argv = {
        Artefacts::pack_tool().string(), "bundle", "--name", recipe.name, "--out", out_dir.string(), "--runtime",
        Artefacts::java_home().string()};
    // No main class: the main JAR's manifest names it.
    if (!recipe.main_class.empty()) argv.insert(argv.end(), {"--main-class", recipe.main_class});
    for (const auto& jar : recipe.jars) argv.insert(argv.end(), {"--jar", jar.string()});
    for (const auto& option : recipe.jvm_options) argv.push_back("--jvm-option=" + option);
    for (const auto& arg : recipe.args) argv.push_back("--arg=" + arg);
    argv.insert(argv.end(), recipe.flags.begin(), recipe.flags.end());
    if (recipe.stack_size) argv.insert(argv.end(), {"--stack-size", std::to_string(*recipe.stack_size)});
    if (recipe.support_jar) argv.insert(argv.end(), {"--support-jar", recipe.support_jar->string()});
    argv.insert(argv.end(), recipe.extra.begin(), recipe.extra.end());
    const auto result = run_process(argv);
    if (result.exit_status != 0)
        throw std::runtime_error("kestrova-pack bundle failed (" + std::to_string(result.exit_status) +
                                 "): " + result.err);
    return out_dir / (recipe.name + ".app") / "Contents" / "MacOS" / recipe.name;
}

namespace {

std::vector<std::string> as_the_system_would(const std::filesystem::path& executable,
                                             const std::vector<std::string>& args, ProcessOptions& options) {
    std::vector<std::string> argv = {executable.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* name : {"LD_LIBRARY_PATH", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "DISPLAY",
                             "WAYLAND_DISPLAY", "FORCE_UPDATE_CHECK"})
        options.env.try_emplace(name, std::nullopt);
    return argv;
}

}  // namespace

ProcessResult launch(const std::filesystem::path& executable, const std::vector<std::string>& args,
                     ProcessOptions options) {
    const auto argv = as_the_system_would(executable, args, options);
    return run_process(argv, options);
}

BackgroundProcess launch_in_background(const std::filesystem::path& executable, const std::vector<std::string>& args,
                                       ProcessOptions options) {
    const auto argv = as_the_system_would(executable, args, options);
    return BackgroundProcess(argv, options);
}

}  // namespace kestrova::testing
