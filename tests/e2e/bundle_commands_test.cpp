// End-to-end: a bundle with more than one command, and the JVM options its user may add, with the
// real JVM the launcher starts.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

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
    BundleRecipe recipe;
    recipe.name = "Fixture";
    recipe.main_class.clear();
    recipe.jars = {Artefacts::probe_jar()};
    recipe.extra = {"--main-jar",     (app / "main.jar").string(), "--console",
                    "--add-launcher", "probe=probe.Probe",         "--jvm-option=-Dprobe.marker=~~/notes"};
    const fs::path main = make_bundle(dir.path() / "dist", recipe);

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
        BundleRecipe recipe;
        recipe.name = c.name;
        recipe.flags = {"--console"};
        recipe.jvm_options = {"-Dprobe.marker=record"};
        if (c.allowed) recipe.extra = {"--user-jvm-options"};
        const fs::path executable = make_bundle(dir.path() / "dist", recipe);
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

// A launch as the system would start it, by a user who is not root: a root-owned copy never puts
// itself in the menu, so a test run as root starts it as nobody, who then owns the test's files.
ProcessResult launch_as_a_user(const fs::path& root, const fs::path& executable, const std::vector<std::string>& args,
                               ProcessOptions options) {
    std::vector<std::string> argv = {executable.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* name : {"LD_LIBRARY_PATH", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "DISPLAY",
                             "WAYLAND_DISPLAY", "FORCE_UPDATE_CHECK"})
        options.env.try_emplace(name, std::nullopt);
    if (::geteuid() == 0) {
        const auto chowned = run_process({std::string("/bin/chown"), "-R", "65534:65534", root.string()});
        if (chowned.exit_status != 0) throw std::runtime_error("chown failed: " + chowned.err);
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        argv.insert(argv.begin(),
                    {std::string("/usr/bin/setpriv"), "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    return run_process(argv, options);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A downloaded bundle made with --desktop-integration yes: its first GUI start writes the menu
// entry and the file types' definition into the user's data home, the very entry desktop-entry
// writes with the same choices, and remembers that it did, so that an entry the user removed is
// not written again by the next start.
TEST(DesktopIntegration, FirstStartWritesTheEntryDesktopEntryWouldAndASecondStartWritesNothing) {
    TempDir dir;
    const fs::path definition = dir.path() / "probe-types.xml";
    write_text(definition,
               "<?xml version=\"1.0\"?>\n<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
               "  <mime-type type=\"application/x-kestrova-probe\"><glob pattern=\"*.kprobe\"/></mime-type>\n"
               "</mime-info>\n");
    BundleRecipe recipe;
    recipe.extra = {"--desktop-integration",
                    "yes",
                    "--category",
                    "Utility",
                    "--mime-type",
                    "application/x-kestrova-probe",
                    "--mime-definition",
                    definition.string()};
    const fs::path executable = make_bundle(dir.path() / "Downloads", recipe);
    const fs::path data = dir.path() / "data";
    const fs::path entry = data / "applications/app.kestrova.probe.desktop";
    ProcessOptions options;
    options.env["XDG_DATA_HOME"] = data.string();
    options.env["XDG_STATE_HOME"] = (dir.path() / "state").string();
    options.env["HOME"] = dir.path().string();
    options.timeout = std::chrono::seconds(60);

    // The probe ends once the entry appears; it never would if the start wrote none.
    const auto first = launch_as_a_user(dir.path(), executable, {"--exit-when", entry.string(), "0"}, options);
    ASSERT_EQ(first.exit_status, 0) << first.err;
    EXPECT_TRUE(fs::is_regular_file(data / "mime/packages/app.kestrova.probe.xml"));
    EXPECT_EQ(read_text(dir.path() / "state/kestrova-updater/app.kestrova.probe.desktop-integration"), "yes\n");

    const fs::path by_tool = dir.path() / "by-tool/applications";
    const auto made = run_process({Artefacts::pack_tool().string(), "desktop-entry",
                                   (dir.path() / "Downloads/Probe.app").string(), "--dir", by_tool.string(),
                                   "--category", "Utility", "--mime-type", "application/x-kestrova-probe",
                                   "--mime-definition", definition.string()});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(read_text(entry), read_text(by_tool / "app.kestrova.probe.desktop"));

    // The user removes the entry; the next start runs a while and leaves it removed.
    fs::remove(entry);
    const auto second = launch_as_a_user(dir.path(), executable, {"--nondaemon", "3000"}, options);
    ASSERT_EQ(second.exit_status, 0) << second.err;
    EXPECT_TRUE(fs::is_empty(data / "applications"));
    EXPECT_EQ(second.err.find("menu"), std::string::npos) << second.err;
}

}  // namespace
}  // namespace kestrova::testing
