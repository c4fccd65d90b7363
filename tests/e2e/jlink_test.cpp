// End-to-end: runtimes made for the application with the JDK's jlink. The bundle carries them,
// starts from them with their class-data sharing archive, and is refused, with nothing written,
// when the new runtime cannot load what the application needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/bundle.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The modules of a Java home, from its release file.
std::vector<std::string> modules_of(const fs::path& home) {
    const std::string release = read_text(home / "release");
    const auto at = release.find("MODULES=\"");
    if (at == std::string::npos) return {};
    std::istringstream words(release.substr(at + 9, release.find('"', at + 9) - at - 9));
    return {std::istream_iterator<std::string>(words), {}};
}

// A module of the application's own on a module path in Contents/Resources, which no analysis of
// the class path sees: it requires java.sql and java.net.http, which nothing on the class path needs.
fs::path module_needing_java_sql(const fs::path& dir) {
    const fs::path source = dir / "src" / "needsql";
    fs::create_directories(source);
    std::ofstream(source / "module-info.java") << "module needsql { requires java.sql; requires java.net.http; }\n";
    const fs::path bin = Artefacts::java_home() / "bin";
    auto r = run_process(
        {(bin / "javac").string(), "-d", (dir / "classes").string(), (source / "module-info.java").string()});
    if (r.exit_status != 0) throw std::runtime_error("javac failed: " + r.err);
    fs::create_directories(dir / "mods");
    r = run_process({(bin / "jar").string(), "--create", "--file", (dir / "mods" / "needsql.jar").string(), "-C",
                     (dir / "classes").string(), "."});
    if (r.exit_status != 0) throw std::runtime_error("jar failed: " + r.err);
    return dir / "mods";
}

// Linking takes ten seconds on an idle machine, several times that on a busy one.
ProcessOptions linking() {
    ProcessOptions options;
    options.timeout = std::chrono::minutes(5);
    return options;
}

TEST(JlinkedRuntime, MissingModulesFailTheBundleWithTheirFixAndTheFixedBundleStartsFromItsOwnRuntime) {
    TempDir dir;
    const fs::path mods = module_needing_java_sql(dir.path());
    const fs::path out = dir.path() / "dist";
    std::vector<std::string> argv = {Artefacts::pack_tool().string(), "bundle", "--name", "Probe", "--out",
                                     out.string(), "--main-class", "probe.Probe", "--jar",
                                     Artefacts::probe_jar().string(), "--runtime", Artefacts::java_home().string(),
                                     "--jlink", "--resource", mods.string(), "--console", "--arg", "recorded",
                                     "--jvm-option=--module-path=&&/mods", "--jvm-option=--add-modules=needsql",
                                     // Refuses to start unless the bundle's class-data sharing archive maps.
                                     "--jvm-option=-Xshare:on"};
    const auto refused = run_process(argv, linking());
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err,
              "kestrova-pack: the runtime made with --jlink lacks 2 modules: java.net.http (which module needsql "
              "requires), java.sql (which module needsql requires); add --add-modules java.net.http,java.sql\n");
    EXPECT_TRUE(fs::is_empty(out)) << "the bundle was built aside and nothing of it is left";

    argv.insert(argv.end(), {"--add-modules", "java.net.http,java.sql"});
    const auto packed = run_process(argv, linking());
    ASSERT_EQ(packed.exit_status, 0) << packed.err;
    const fs::path home = out / "Probe.app" / "Contents" / "runtime" / "Contents" / "Home";
    EXPECT_FALSE(fs::is_symlink(home));
    const auto modules = modules_of(home);
    for (const char* module :
         {"java.base", "java.sql", "java.net.http", "jdk.crypto.ec", "jdk.charsets", "jdk.zipfs", "jdk.localedata"})
        EXPECT_NE(std::find(modules.begin(), modules.end(), module), modules.end()) << module;
    EXPECT_EQ(std::find(modules.begin(), modules.end(), "java.desktop"), modules.end()) << "not needed, not linked";
    EXPECT_TRUE(fs::is_regular_file(home / "lib" / "server" / "classes.jsa"));
    EXPECT_FALSE(fs::exists(home / "include"));
    EXPECT_FALSE(fs::exists(home / "man"));

    // Moved as a user moves it: the runtime and its archive go along and still serve.
    const fs::path moved = dir.path() / "Applications" / "Probe.app";
    fs::create_directories(moved.parent_path());
    fs::rename(out / "Probe.app", moved);
    const auto r = launch(moved / "Contents" / "MacOS" / "Probe", {"given"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "arg[0]"), "recorded");
    EXPECT_EQ(value_of(r.out, "arg[1]"), "given");
    EXPECT_EQ(value_of(r.out, "java.home"), fs::canonical(moved / "Contents/runtime/Contents/Home").string());
    EXPECT_EQ(value_of(r.out, "main.returned"), "true");
}

fs::path reach_jar(const std::string& name) { return fs::path(KESTROVA_TEST_REACH_JARS) / ("reach-" + name + ".jar"); }

// A JAR of nothing but a manifest, made with the JDK's jar tool.
fs::path manifest_jar(const fs::path& dir, const std::string& manifest) {
    fs::create_directories(dir / "empty");
    std::ofstream(dir / "manifest.mf") << manifest;
    std::ofstream(dir / "empty" / "marker.txt") << "x";
    const auto r = run_process({(Artefacts::java_home() / "bin" / "jar").string(), "--create", "--file",
                                (dir / "main.jar").string(), "--manifest", (dir / "manifest.mf").string(), "-C",
                                (dir / "empty").string(), "."});
    if (r.exit_status != 0) throw std::runtime_error("jar failed: " + r.err);
    return dir / "main.jar";
}

// Applications that reach JDK modules at run time where no analysis of their classes looks, one for
// each way of missing a module. Each bundle starts from its own runtime and reaches what it needs,
// and the tool says in one line why that module is there.
TEST(JlinkedRuntime, WhatTheApplicationReachesAtRunTimeIsLinked) {
    TempDir dir;
    fs::create_directories(dir.path() / "plugins");
    fs::copy_file(reach_jar("plugin"), dir.path() / "plugins" / "plugin.jar");
    fs::create_directories(dir.path() / "system");
    fs::copy_file(reach_jar("byname"), dir.path() / "system" / "byname.jar");
    // It names a directory of resources too, which is carried but is no JAR to analyse.
    fs::create_directories(dir.path() / "naming" / "conf");
    std::ofstream(dir.path() / "naming" / "conf" / "app.properties") << "x=1\n";
    const fs::path naming = manifest_jar(dir.path() / "naming",
                                         "Class-Path: conf/ " + (dir.path() / "system").string() + "/byname.jar\n");
    const struct {
        fs::path jar;
        const char* main_class;
        std::vector<std::string> extra;
        std::string note;
        const char* module;  // what the runtime must hold
    } cases[] = {
        // It compiles for release 11 too, which reads the runtime's ct.sym, rewritten with its
        // entries stored.
        {reach_jar("compiler"),
         "reach.Compile",
         {},
         "jdk.compiler (for javax.tools.JavaCompiler in reach-compiler.jar)",
         "jdk.compiler"},
        {reach_jar("byname"),
         "reach.ByName",
         {},
         "java.sql (for java.sql.DriverManager in reach-byname.jar)",
         "java.sql"},
        {reach_jar("naming"),
         "reach.Naming",
         {},
         "jdk.naming.dns (for javax.naming.spi.InitialContextFactory in reach-naming.jar)",
         "jdk.naming.dns"},
        // The classes are in a JAR that the given one names by absolute path.
        {naming, "reach.ByName", {}, "java.sql (for java.sql.DriverManager in byname.jar)", "java.sql"},
        {reach_jar("plugins"),
         "reach.Host",
         {"--resource", (dir.path() / "plugins").string()},
         "reach-plugins.jar runs code the JARs do not hold (it makes a URLClassLoader, loading classes from "
         "other JARs), so --jlink links the JDK's default module set",
         "java.sql"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.jar);
        const fs::path out = dir.path() / "out";
        std::vector<std::string> argv = {Artefacts::pack_tool().string(),
                                         "bundle",
                                         "--name",
                                         "Reach",
                                         "--out",
                                         out.string(),
                                         "--main-class",
                                         c.main_class,
                                         "--jar",
                                         c.jar.string(),
                                         "--runtime",
                                         Artefacts::java_home().string(),
                                         "--jlink",
                                         "--console"};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        const auto packed = run_process(argv, linking());
        ASSERT_EQ(packed.exit_status, 0) << packed.err;
        EXPECT_NE(packed.err.find(c.note), std::string::npos) << packed.err;
        const fs::path app = out / "Reach.app";
        const auto modules = modules_of(app / "Contents" / "runtime" / "Contents" / "Home");
        EXPECT_NE(std::find(modules.begin(), modules.end(), c.module), modules.end());
        const auto r = launch(app / "Contents" / "MacOS" / "Reach");
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(value_of(r.out, "reached"), "true") << r.out << r.err;
        fs::remove_all(out);
    }
}

// A locale beyond the kept ones, asked for with --locales, writes its own month names; and the JDK's
// stack frames keep their lines with --keep-debug-info.
TEST(JlinkedRuntime, LocalesAndDebugInfoAsAsked) {
    TempDir dir;
    const fs::path out = dir.path() / "out";
    const auto packed = run_process({Artefacts::pack_tool().string(), "bundle", "--name", "Dates", "--out",
                                     out.string(), "--main-class", "reach.Dates", "--jar", reach_jar("locale").string(),
                                     "--runtime", Artefacts::java_home().string(), "--jlink", "--console", "--locales",
                                     "en,fi", "--keep-debug-info"},
                                    linking());
    ASSERT_EQ(packed.exit_status, 0) << packed.err;
    const auto r = launch(out / "Dates.app" / "Contents" / "MacOS" / "Dates");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "reached"), "true") << r.out << r.err;
    EXPECT_EQ(value_of(r.out, "jdk.frame.has.line"), "true") << r.out;
}

}  // namespace
}  // namespace kestrova::testing
