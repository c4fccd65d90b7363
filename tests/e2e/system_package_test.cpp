// End-to-end: a bundle as a Debian package, built by the tool, checked by lintian, installed with
// dpkg into a root of the test's own (never the machine's package database) and started from there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/update_log.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

ProcessResult run_tool(const std::vector<std::string>& argv, ProcessOptions options = {}) {
    options.timeout = std::chrono::minutes(3);
    return run_process(argv, options);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// An empty package database under `root`, for dpkg --root.
void make_dpkg_root(const fs::path& root) {
    for (const char* dir : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"})
        fs::create_directories(root / dir);
    std::ofstream(root / "var/lib/dpkg/status");
    std::ofstream(root / "var/lib/dpkg/available");
}

// What the package depends on is not installed in the test's root: the JDK it links to stands in
// as a link to the machine's.
void provide_linked_jdk(const fs::path& root) {
    const fs::path jdk = fs::canonical(Artefacts::java_home());
    fs::create_directories((root / jdk.relative_path()).parent_path());
    fs::create_symlink(jdk, root / jdk.relative_path());
}

class DebPackage : public ::testing::Test {
protected:
    void SetUp() override {
        // dpkg installs files as root and chroots for its own checks.
        if (::geteuid() != 0) GTEST_SKIP() << "installing into a dpkg root needs root";
    }

    // Probe 1.0 with the updater and the gate, a GUI command and a console one.
    fs::path bundle() {
        BundleSpec spec;
        spec.extra = {"--with-updater",   "--feed-url",      server_.url("/updates/appcast.xml"),
                      "--bundle-version", "1.0",             "--aggressive-updates",
                      "--add-launcher",   "probe-cli=probe.Probe:console"};
        return make_bundle(dir_.path() / "dist", spec).parent_path().parent_path().parent_path();
    }

    fs::path deb(const fs::path& app) {
        const auto made = run_tool({Artefacts::pack_tool().string(), "deb", app.string(), "--out", dir_.path().string(),
                                    "--maintainer", "Kestrova Tests <tests@example.org>", "--category", "Utility"});
        EXPECT_EQ(made.exit_status, 0) << made.err;
        return dir_.path() / "probe_1.0_amd64.deb";
    }

    HttpServer server_;
    TempDir dir_;
};

TEST_F(DebPackage, IsLintianCleanInstallsIntoARootAndStartsFromThere) {
    const fs::path package = deb(bundle());
    ASSERT_TRUE(fs::exists(package));

    const auto info = run_tool({"/usr/bin/dpkg-deb", "--field", package.string(), "Depends"});
    EXPECT_NE(info.out.find("openjdk-17-jre-headless"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("libc6"), std::string::npos) << "dpkg-shlibdeps's: " << info.out;
    EXPECT_NE(info.out.find("libcurl4"), std::string::npos) << "the updater opens libcurl: " << info.out;

    const auto lint = run_tool({"/usr/bin/lintian", "--tag-display-limit", "0", package.string()});
    EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;

    const fs::path root = dir_.path() / "root";
    make_dpkg_root(root);
    const auto installed = run_tool({"/usr/bin/dpkg", "--root=" + root.string(), "--force-depends", "--force-bad-path",
                                     "--install", package.string()});
    ASSERT_EQ(installed.exit_status, 0) << installed.err;
    provide_linked_jdk(root);

    const fs::path app = root / "usr/lib/probe/Probe.app";
    struct stat owner {};
    ASSERT_EQ(::stat(app.c_str(), &owner), 0);
    EXPECT_EQ(owner.st_uid, 0u);
    EXPECT_EQ(owner.st_mode & 0022, 0u) << "writable by users";
    EXPECT_NE(read_text(app / "Contents/Info.plist").find("KestrovaPackageManaged"), std::string::npos);
    const std::string entry = read_text(root / "usr/share/applications/app.kestrova.probe.desktop");
    EXPECT_NE(entry.find("Exec=/usr/lib/probe/Probe.app/Contents/MacOS/Probe"), std::string::npos) << entry;

    // The console command through its /usr/bin link.
    const auto cli = launch(root / "usr/bin/probe-cli", {"hello"});
    ASSERT_EQ(cli.exit_status, 0) << cli.err;
    EXPECT_EQ(value_of(cli.out, "arg[0]"), "hello");

    // The site announces 1.1: the gate lets the package manager's copy start.
    server_.route("/updates/metadata.properties", HttpResponse::text(200, "app.version=1.1\napp.revision=0\n"));
    ProcessOptions options;
    options.env["KESTROVA_UPDATE_LOG"] = (dir_.path() / "update.log").string();
    options.env["XDG_STATE_HOME"] = (dir_.path() / "state").string();
    const auto gui = launch(app / "Contents/MacOS/Probe", {}, options);
    ASSERT_EQ(gui.exit_status, 0) << gui.err;
    EXPECT_EQ(value_of(gui.out, "main.returned"), "true") << "the launch was held: " << gui.err;
    const auto records = update_log_records(dir_.path() / "update.log");
    EXPECT_NE(std::find(records.begin(), records.end(),
                        "The system's package manager installed this copy and updates it, so the launch is not held."),
              records.end());
    EXPECT_EQ(server_.request_count("/updates/metadata.properties"), 0u);

    const auto removed = run_tool({"/usr/bin/dpkg", "--root=" + root.string(), "--force-bad-path", "--remove", "probe"});
    ASSERT_EQ(removed.exit_status, 0) << removed.err;
    EXPECT_FALSE(fs::exists(app));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "usr/bin/probe-cli")));
}

}  // namespace
}  // namespace kestrova::testing
