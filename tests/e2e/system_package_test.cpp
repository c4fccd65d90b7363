// End-to-end: a bundle as a Debian package and as an RPM package, built by the tool, checked by
// lintian or rpm, installed into a root of the test's own (never the machine's package databases)
// and started from there; and an apt repository in a release site.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "kestrova/info_plist_keys.h"
#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/release_site.h"
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

class SystemPackage : public ::testing::Test {
protected:
    void SetUp() override {
        // dpkg installs files as root and chroots for its own checks.
        if (::geteuid() != 0) GTEST_SKIP() << "installing into a dpkg root needs root";
    }

    // Probe 1.0 with the updater and the gate, a GUI command and a console one.
    fs::path bundle() {
        BundleRecipe recipe;
        recipe.extra = {
            "--with-updater",       "--feed-url",     server_.url("/updates/appcast.xml"), "--bundle-version", "1.0",
            "--aggressive-updates", "--add-launcher", "probe-cli=probe.Probe:console"};
        return make_bundle(dir_.path() / "dist", recipe).parent_path().parent_path().parent_path();
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

TEST_F(SystemPackage, DebIsLintianCleanInstallsIntoARootAndStartsFromThere) {
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
    EXPECT_NE(read_text(app / "Contents/Info.plist").find(kestrova::info_keys::package_managed), std::string::npos);
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

    const auto removed = run_tool(
        {"/usr/bin/dpkg", "--root=" + root.string(), "--force-bad-path", "--remove", "probe"});
    ASSERT_EQ(removed.exit_status, 0) << removed.err;
    EXPECT_FALSE(fs::exists(app));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "usr/bin/probe-cli")));
}

TEST_F(SystemPackage, RpmShowsItsFilesAndRequiresAndStartsFromARoot) {
    const fs::path app = bundle();
    const auto made = run_tool({Artefacts::pack_tool().string(), "rpm", app.string(), "--out", dir_.path().string(),
                                "--maintainer", "Kestrova Tests <tests@example.org>"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const fs::path package = dir_.path() / "probe-1.0-1.x86_64.rpm";
    const auto list = run_tool({"/usr/bin/rpm", "-qp", "--list", package.string()});
    EXPECT_NE(list.out.find("/usr/bin/probe-cli\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("/usr/share/applications/app.kestrova.probe.desktop\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("/usr/bin\n"), std::string::npos) << "the package owns the system's directory";
    const auto requires_ = run_tool({"/usr/bin/rpm", "-qp", "--requires", package.string()});
    const fs::path jvm = fs::canonical(Artefacts::java_home()) / "lib/server/libjvm.so";
    EXPECT_NE(requires_.out.find(jvm.string()), std::string::npos) << requires_.out;
    EXPECT_NE(requires_.out.find("libcurl.so.4()(64bit)"), std::string::npos) << requires_.out;
    EXPECT_EQ(requires_.out.find("libjvm.so()"), std::string::npos) << "a soname no package provides";
    const auto payload = run_tool({"/usr/bin/rpm", "-qp", "--qf", "%{PAYLOADCOMPRESSOR}", package.string()});
    EXPECT_EQ(payload.out, "xz") << "rpm's default gzip leaves a carried runtime half as large again";

    // The root has no package database of the system's, so dependencies cannot be resolved there.
    const fs::path root = dir_.path() / "root";
    const auto installed = run_tool({"/usr/bin/rpm", "--root", root.string(), "--nodeps", "-i", package.string()});
    ASSERT_EQ(installed.exit_status, 0) << installed.err;
    provide_linked_jdk(root);
    const auto cli = launch(root / "usr/bin/probe-cli", {"hello"});
    ASSERT_EQ(cli.exit_status, 0) << cli.err;
    EXPECT_EQ(value_of(cli.out, "arg[0]"), "hello");
}

// The menu choices a bundle stored for --desktop-integration reach a package given none of its own.
TEST_F(SystemPackage, PackagesTakeTheMenuChoicesTheBundleStored) {
    const fs::path definition = dir_.path() / "probe-types.xml";
    std::ofstream(definition)
        << "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">"
           "<mime-type type=\"application/x-kestrova-probe\"><glob pattern=\"*.kprobe\"/></mime-type></mime-info>\n";
    BundleRecipe stored;
    stored.extra = {"--bundle-version", "1.0", "--desktop-integration", "yes", "--category", "Development"};
    stored.extra.insert(stored.extra.end(),
                        {"--mime-type", "application/x-kestrova-probe", "--mime-definition", definition.string()});
    const fs::path app = make_bundle(dir_.path() / "dist", stored).parent_path().parent_path().parent_path();
    const auto made = run_tool({Artefacts::pack_tool().string(), "deb", app.string(), "--out", dir_.path().string(),
                                "--maintainer", "Kestrova Tests <tests@example.org>"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const fs::path root = dir_.path() / "root";
    run_tool({"/usr/bin/dpkg-deb", "-x", (dir_.path() / "probe_1.0_amd64.deb").string(), root.string()});
    const std::string entry = read_text(root / "usr/share/applications/app.kestrova.probe.desktop");
    EXPECT_NE(entry.find("\nCategories=Development;\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nMimeType=application/x-kestrova-probe;\n"), std::string::npos) << entry;
    EXPECT_TRUE(fs::is_regular_file(root / "usr/share/mime/packages/app.kestrova.probe.xml"));
}

// apt with state, cache, sources and configuration of its own (none of the machine's), installing
// with dpkg into `root`. The root's package database starts as a copy of the machine's, which says
// truly what the package depends on is installed; its files are not there, so nothing is replaced.
class AptClient {
public:
    AptClient(const fs::path& dir, const fs::path& site_apt) : dir_(dir), root_(dir / "root") {
        for (const char* sub : {"state/lists/partial", "cache/archives/partial", "empty", "log", "keyrings"})
            fs::create_directories(dir_ / sub);
        make_dpkg_root(root_);
        fs::copy_file("/var/lib/dpkg/status", root_ / "var/lib/dpkg/status", fs::copy_options::overwrite_existing);
        // The user's two files, the keyring where the sources line expects it under the test's dir.
        const auto keyring = site_apt / "probe-archive-keyring.gpg";
        fs::copy_file(keyring, dir_ / "keyrings" / keyring.filename());
        std::string line = read_text(site_apt / "probe.list");
        const std::string system_keyrings = "/usr/share/keyrings/";
        line.replace(line.find(system_keyrings), system_keyrings.size(), (dir_ / "keyrings").string() + "/");
        std::ofstream(dir_ / "sources.list") << line;
        const std::string d = dir_.string();
        std::ofstream(dir_ / "apt.conf") << "Dir::Etc::Parts \"" << d << "/empty\";\n"
                                         << "Dir::Etc::SourceList \"" << d << "/sources.list\";\n"
                                         << "Dir::Etc::SourceParts \"" << d << "/empty\";\n"
                                         << "Dir::Etc::TrustedParts \"" << d << "/empty\";\n"
                                         << "Dir::Etc::Preferences \"" << d << "/empty/none\";\n"
                                         << "Dir::Etc::PreferencesParts \"" << d << "/empty\";\n"
                                         << "Dir::State \"" << d << "/state\";\n"
                                         << "Dir::State::status \"" << root_.string() << "/var/lib/dpkg/status\";\n"
                                         << "Dir::Cache \"" << d << "/cache\";\n"
                                         << "Dir::Log \"" << d << "/log\";\n"
                                         << "Debug::NoLocking \"true\";\nAPT::Sandbox::User \"root\";\n"
                                         << "DPkg::Options { \"--root=" << root_.string()
                                         << "\"; \"--force-bad-path\"; };\n";
    }

    ProcessResult apt_get(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/apt-get");
        ProcessOptions options;
        options.env["APT_CONFIG"] = (dir_ / "apt.conf").string();
        options.env["DEBIAN_FRONTEND"] = "noninteractive";
        return run_tool(args, options);
    }

    const fs::path& root() const { return root_; }

private:
    fs::path dir_;
    fs::path root_;
};

// A publisher releases 1.0 with --apt; a user adds the site's two files, installs with apt, and
// after the release of 1.1 upgrades; 1.0 stays installable.
TEST_F(SystemPackage, AptInstallsFromTheReleaseSiteAndUpgradesAfterTheNextRelease) {
    ReleaseSite site;
    // apt asks for the flat repository's files as "apt/./NAME", which a static server normalises.
    for (const char* name : {"InRelease", "Release", "Release.gpg", "Packages", "Packages.gz", "probe_1.0_amd64.deb",
                             "probe_1.1_amd64.deb"})
        site.server().route(ReleaseSite::path_of(std::string("apt/./") + name), [&site, name](const HttpRequest&) {
            try {
                return HttpResponse::text(200, site.file(std::string("apt/") + name), "application/octet-stream");
            } catch (const std::exception&) {
                return HttpResponse::text(404, "not released");
            }
        });
    const fs::path gnupg = dir_.path() / "gnupg";
    fs::create_directories(gnupg);
    fs::permissions(gnupg, fs::perms::owner_all);
    ProcessOptions with_keyring;
    with_keyring.env["GNUPGHOME"] = gnupg.string();
    // gpg starts an agent for the keyring, which must not outlive the test.
    struct StopAgent {
        ProcessOptions options;
        ~StopAgent() { run_process({"/usr/bin/gpgconf", "--kill", "all"}, options); }
    } stop_agent{with_keyring};
    const auto key = run_tool({"/usr/bin/gpg", "--batch", "--passphrase", "", "--quick-gen-key",
                               "Kestrova Tests <apt@example.org>", "ed25519", "sign", "never"},
                              with_keyring);
    ASSERT_EQ(key.exit_status, 0) << key.err;
    const auto release = [&](const std::string& version) {
        const fs::path app =
            site.make_bundle(dir_.path() / version, version, {"--console"}).parent_path().parent_path().parent_path();
        give_own_runtime(app);
        const auto made = run_tool({Artefacts::pack_tool().string(), "release", app.string(), "--key-file",
                                    site.key_file().string(), "--site", site.site_dir().string(),
                                    "--download-url-prefix", site.server().url("/app"), "--apt", "--apt-key",
                                    "apt@example.org", "--maintainer", "Kestrova Tests <apt@example.org>"},
                                   with_keyring);
        ASSERT_EQ(made.exit_status, 0) << made.err;
    };
    release("1.0");

    AptClient apt(dir_.path() / "apt", site.site_dir() / "apt");
    const auto update = apt.apt_get({"update"});
    ASSERT_EQ(update.exit_status, 0) << update.err;
    EXPECT_EQ(update.err.find("NO_PUBKEY"), std::string::npos) << update.err;
    const auto install = apt.apt_get({"install", "-y", "probe"});
    ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
    const fs::path command = apt.root() / "usr/bin/Probe";
    EXPECT_EQ(bundle_version_of(apt.root() / "usr/lib/probe/Probe.app"), "1.0");

    release("1.1");
    ASSERT_EQ(apt.apt_get({"update"}).exit_status, 0);
    const auto upgrade = apt.apt_get({"upgrade", "-y"});
    ASSERT_EQ(upgrade.exit_status, 0) << upgrade.out << upgrade.err;
    EXPECT_EQ(bundle_version_of(apt.root() / "usr/lib/probe/Probe.app"), "1.1");
    const auto started = launch(command, {"hello"});
    ASSERT_EQ(started.exit_status, 0) << started.err;
    EXPECT_EQ(value_of(started.out, "arg[0]"), "hello");

    const auto older = apt.apt_get({"install", "-y", "--allow-downgrades", "probe=1.0"});
    EXPECT_EQ(older.exit_status, 0) << older.out << older.err;
    EXPECT_EQ(bundle_version_of(apt.root() / "usr/lib/probe/Probe.app"), "1.0");
}

}  // namespace
}  // namespace kestrova::testing
