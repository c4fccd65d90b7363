// End-to-end: a bundle with more than one command, and the JVM options its user may add, with the
// real JVM the launcher starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "tests/support/bundle.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The fixture's main JAR (its manifest grants and Class-Path) as the bundle's own command, and the
// probe as a second one, sharing the class path and the recorded options.
TEST(AddedLauncher, EachCommandRunsItsOwnMainClassWithTheBundlesJarsAndOptions) {
    TempDir dir;
    const fs::path app = dir.path() / "app", home = dir.path() / "home";
    fs::create_directories(app / "lib");
    fs::copy_file(Artefacts::fixture_main_jar(), app / "main.jar");
    fs::copy_file(Artefacts::fixture_helper_jar(), app / "lib" / "helper.jar");
    write_text(app / "conf" / "fixture.properties", "conf\n");
    BundleSpec spec;
    spec.name = "Fixture";
    spec.main_class.clear();
    spec.jars = {Artefacts::probe_jar()};
    spec.extra = {"--main-jar",     (app / "main.jar").string(), "--console",
                  "--add-launcher", "probe=probe.Probe",         "--jvm-option=-Dprobe.marker=~~/notes"};
    const fs::path main = make_bundle(dir.path() / "dist", spec);

    const auto own = launch(main);
    ASSERT_EQ(own.exit_status, 0) << own.err;
    EXPECT_EQ(value_of(own.out, "helper"), "hello from the Class-Path");
    EXPECT_EQ(value_of(own.out, "opens.java.lang"), "true");

    ProcessOptions options;
    options.env["HOME"] = home.string();
    const auto added = launch(main.parent_path() / "probe", {"x"}, options);
    ASSERT_EQ(added.exit_status, 0) << added.err;
    EXPECT_EQ(value_of(added.out, "sun.java.command"), "probe.Probe x");
    EXPECT_EQ(value_of(added.out, "probe.marker"), (home / "notes").string()) << "the user's home, not the packager's";
    const std::string resources = fs::canonical(main.parent_path() / ".." / "Resources").string();
    EXPECT_NE(value_of(added.out, "java.class.path").value_or("").find(resources + "/main.jar"), std::string::npos);
}

// The user's options file counts only where the bundle allows it, comes after the record's options,
// and a line it cannot take stops the launch with the file and the line named.
TEST(UserJvmOptions, ReadOnlyWhereAllowedAfterTheRecordAndABadLineIsNamed) {
    TempDir dir;
    const fs::path config = dir.path() / "config";
    const struct {
        const char* name;
        bool allowed;
        std::string file;
        int status;
        std::string marker;  // probe.marker, or a part of the one line on standard error
    } cases[] = {
        {"Allowed", true, "# more memory\n\n  -Xmx96m\n-Dprobe.marker=user \n", 0, "user"},
        {"BadLine", true, "-Xmx96m\n# two on one line:\n-Xss1m -Dprobe.marker=user\n", 1, "jvm.options, line 3: "},
        {"NotAllowed", false, "-Dprobe.marker=user\n", 0, "record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BundleSpec spec;
        spec.name = c.name;
        spec.flags = {"--console"};
        spec.jvm_options = {"-Dprobe.marker=record"};
        if (c.allowed) spec.extra = {"--user-jvm-options"};
        const fs::path executable = make_bundle(dir.path() / "dist", spec);
        std::string identifier = std::string("app.kestrova.") + c.name;
        std::transform(identifier.begin(), identifier.end(), identifier.begin(), ::tolower);
        write_text(config / identifier / "jvm.options", c.file);
        ProcessOptions options;
        options.env["XDG_CONFIG_HOME"] = config.string();
        const auto r = launch(executable, {}, options);
        ASSERT_EQ(r.exit_status, c.status) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(value_of(r.out, "probe.marker"), c.marker);
        } else {
            EXPECT_EQ(r.err.find(config.string() + "/" + identifier + "/" + c.marker), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

}  // namespace
}  // namespace kestrova::testing
