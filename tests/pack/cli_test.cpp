// kestrova-pack run as a process on a stand-in template: what it writes on success, and on every
// refusal one line on standard error, a non-zero status and nothing written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "freedesktop/desktop_entries.h"
#include "kestrova/info_plist_keys.h"
#include "pack_test_support.h"
#include "tools/packaging.h"

namespace kestrova::pack {
namespace {

using namespace testing;
using Args = std::vector<std::string>;

constexpr int usage = 2;    // a wrong command line
constexpr int refused = 1;  // inputs that cannot be packaged

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Args repeated(const std::string& option, std::size_t times) {
    Args args;
    for (std::size_t i = 0; i < times; ++i) {
        args.push_back(option);
        args.push_back(std::to_string(i));  // g++ 12 warns falsely (-Wrestrict) on "v" + to_string
    }
    return args;
}

mode_t mode_of(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// The record burned into a file, through the launcher's own parse.
BurnedInData record_in(const fs::path& file) {
    const std::string bytes = read_bytes(file);
    const std::span<const char> image(bytes.data(), bytes.size());
    return BurnedInData(image.subspan(find_burned_area(image), reserved_area_size));
}

class PackCli : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(launcher_.parent_path());
        write_bytes(launcher_, as_string(fake_template()));
        fs::permissions(launcher_, fs::perms(0750));  // no default mode: the output must copy it
        write_bytes(support_jar_, "support classes");
        write_bytes(jar_a_, "jar a");
        fs::create_directories(in_ / "other");
        write_bytes(in_ / "other" / "a.jar", "another a");
        fs::create_directories(runtime_ / "lib" / "server");
        write_bytes(runtime_ / "lib" / "server" / "libjvm.so", "not really a JVM");
        fs::create_directory_symlink("server", runtime_ / "lib" / "link");
        write_bytes(no_area_, "some bytes\0 and _ but no area"sv);
        write_bytes(two_areas_, as_string(fake_template()) + as_string(fake_template()));
    }

    RunResult pack(const Args& args) const { return run_program(KESTROVA_PACK_EXE, args, work_.path()); }

    // Runs a command that must be refused and checks the whole contract of a refusal.
    void expect_refusal(const Args& args, int status, const std::string& contains) const {
        const auto before = tree_listing(work_.path());
        const auto result = pack(args);
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.err.rfind("kestrova-pack: ", 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_NE(result.err.find(contains), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(tree_listing(work_.path()), before) << "something was written";
    }

    Args burn() const { return {"burn", launcher_.string(), "out", "--main-class", "demo.Main"}; }
    Args bundle() const {
        return {"bundle",
                "--name",
                "Demo",
                "--out",
                "dist",
                "--main-class",
                "demo.Main",
                "--jar",
                jar_a_.string(),
                "--launcher",
                launcher_.string(),
                "--support-jar",
                support_jar_.string(),
                "--runtime",
                runtime_.string()};
    }
    // bundle() with one option's value changed.
    Args bundle_with(const std::string& option, const std::string& value) const {
        auto args = bundle();
        *(std::find(args.begin(), args.end(), option) + 1) = value;
        return args;
    }

    TempDir inputs_, work_;  // work_ is the tool's working directory
    fs::path in_ = inputs_.path();
    fs::path launcher_ = in_ / "lib" / "kestrova-launcher";
    fs::path support_jar_ = in_ / "support.jar";
    fs::path jar_a_ = in_ / "a.jar";
    fs::path runtime_ = in_ / "jdk";
    fs::path no_area_ = in_ / "no-area";
    fs::path two_areas_ = in_ / "two-areas";
    fs::path app_ = work_.path() / "dist" / "Demo.app";
};

TEST_F(PackCli, HelpAndCommands) {
    for (const auto& [args, usage_line] : {std::pair<Args, std::string>{{"--help"}, "COMMAND"},
                                           {{"burn", "--help"}, "burn IN OUT"},
                                           {{"inspect", "-h"}, "inspect FILE"},
                                           {{"bundle", "--help"}, "bundle --name NAME"}}) {
        const auto result = pack(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("Usage: kestrova-pack " + usage_line, 0), 0u) << result.out;
    }
    expect_refusal({}, usage, "no command");
    expect_refusal({"burnn"}, usage, "unknown command \"burnn\"");
}

TEST_F(PackCli, BurnWritesExactlyTheRecordIntoACopyWithTheInputsMode) {
    const auto result = pack(burn() + Args{"--jvm-option", "-Xmx64m", "--arg=--verbose", "--arg", "--not-an-option",
                                           "--jvm-option=-Da=b=c"});
    ASSERT_EQ(result.status, 0) << result.err;
    const LaunchRecordFields fields{0, 2097152, "demo.Main", {"-Xmx64m", "-Da=b=c"}, {"--verbose", "--not-an-option"}};
    EXPECT_EQ(read_bytes(work_.path() / "out"), as_string(burn_record(fake_template(), encode_launch_record(fields))));
    EXPECT_EQ(mode_of(work_.path() / "out"), 0750u);
    EXPECT_EQ(tree_listing(work_.path()), Args{"out"});  // no temporary left behind
}

TEST_F(PackCli, BurnTakesFlagsStackSizeAndUpTo255OptionsAndArguments) {
    const struct {
        Args args;
        std::uint8_t flags;
        std::uint32_t stack;
        std::size_t entries;  // JVM options plus arguments
    } cases[] = {
        {{"--main-thread", "--stack-size", "0"}, 0x01, 0, 0},
        {{"--console", "--flag-bit2", "--stack-size", "0x400000"}, 0x06, 0x400000, 0},
        {{"--aggressive-updates", "--flag-bit4", "--stack-size=4294967295"}, 0x18, 4294967295u, 0},
        {{"--flags", "0x14", "--stack-size", "139264"}, 0x14, 139264, 0},
        {{"--flags=255"}, 0xFF, 2097152, 0},
        {repeated("--jvm-option", 255) + repeated("--arg", 255), 0, 2097152, 510},
    };
    const std::size_t area = find_reserved_area(fake_template());
    for (const auto& c : cases) {
        ASSERT_EQ(pack(burn() + c.args).status, 0) << ::testing::PrintToString(c.args);
        const auto record = record_in(work_.path() / "out");
        EXPECT_EQ(static_cast<std::uint8_t>(read_bytes(work_.path() / "out")[area]), c.flags);
        EXPECT_EQ(record.stack_size, c.stack);
        EXPECT_EQ(record.jvm_options.size() + record.app_args.size(), c.entries);
    }
}

TEST_F(PackCli, BurnRefusals) {
    fs::create_directory(work_.path() / "a-dir");
    fs::create_symlink("/proc/self/fd/1", work_.path() / "a-link");
    ASSERT_EQ(mkfifo((work_.path() / "a-pipe").c_str(), 0600), 0);
    write_bytes(work_.path() / "burned",
                as_string(burn_record(fake_template(), encode_launch_record({0, 1, "M", {}, {}}))));
    const std::string in = launcher_.string();
    // The record burn() asks for plus one empty argument: flags, stack size, "demo.Main\0", two counts, "\0".
    constexpr std::size_t bare = 1 + 4 + 10 + 1 + 1 + 1;
    const struct {
        Args args;
        int status;
        const char* contains;
    } cases[] = {
        {{"burn", in, "out"}, usage, "missing required option --main-class"},
        {{"burn", in, "out", "--main-class", ""}, usage, "non-empty"},
        {{"burn", in, "--main-class", "M"}, usage, "two operands"},
        {burn() + Args{"extra"}, usage, "two operands"},
        {burn() + Args{"--bogus"}, usage, "unknown option \"--bogus\""},
        {burn() + Args{"--arg"}, usage, "--arg needs a value"},
        {burn() + Args{"--main-class", "N"}, usage, "more than once"},
        {burn() + Args{"--console=yes"}, usage, "takes no value"},
        {burn() + Args{"--flags", "256"}, usage, "--flags takes a number"},
        {burn() + Args{"--aggressive-updates", "--flags", "1"}, usage, "cannot be combined with --aggressive-updates"},
        {burn() + Args{"--stack-size", "4294967296"}, usage, "--stack-size takes"},
        {burn() + Args{"--stack-size", "-1"}, usage, "--stack-size takes"},
        {burn() + Args{"--stack-size", "2M"}, usage, "--stack-size takes"},
        {burn() + Args{"--stack-size", "65536"}, usage, "it needs at least 139264 bytes"},
        {burn() + Args{"--stack-size", "139263"}, usage, "it needs at least 139264 bytes"},
        {burn() + repeated("--jvm-option", 256), refused, "at most 255 JVM options"},
        {burn() + repeated("--arg", 256), refused, "at most 255 arguments"},
        {burn() + Args{"--arg", std::string(max_record_size + 1 - bare, 'x')}, refused, "16462"},
        {burn() + Args{"--arg", std::string(20000, 'x')}, refused, "reserved area"},
        {{"burn", "missing", "out", "--main-class", "M"}, refused, "cannot read \"missing\""},
        {{"burn", "a-dir", "out", "--main-class", "M"}, refused, "not a regular file"},
        {{"burn", no_area_.string(), "out", "--main-class", "M"}, refused, "no reserved area"},
        {{"burn", "burned", "out", "--main-class", "M"}, refused, "already be burned"},
        {{"burn", two_areas_.string(), "out", "--main-class", "M"}, refused, "2 reserved areas"},
        {{"burn", in, "a-dir", "--main-class", "M"}, refused, "is a directory"},
        {{"burn", in, "a-link", "--main-class", "M"}, refused, "exists and is not a regular file"},
        {{"burn", in, "a-pipe", "--main-class", "M"}, refused, "exists and is not a regular file"},
        {{"burn", in, "missing/out", "--main-class", "M"}, refused, "cannot create a file in"},
        {{"burn", no_area_.string(), "burned", "--main-class", "M"}, refused, "no reserved area"},  // OUT kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
        expect_refusal(c.args, c.status, c.contains);
    }
    EXPECT_EQ(record_in(work_.path() / "burned").main_class, "M");
    EXPECT_TRUE(fs::is_symlink(work_.path() / "a-link"));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(work_.path() / "a-pipe")));
    // The limit is exact: one byte less burns.
    EXPECT_EQ(pack(burn() + Args{"--arg", std::string(max_record_size - bare, 'x')}).status, 0);
    EXPECT_EQ(record_in(work_.path() / "out").record_size, max_record_size);
}

TEST_F(PackCli, InspectPrintsTheRecordOneItemALine) {
    ASSERT_EQ(pack(burn() + Args{"--flags", "0x14", "--stack-size", "262144", "--jvm-option", "-Xss1m", "--arg",
                                 "line\nbreak", "--arg", "C:\\dir"})
                  .status,
              0);
    const auto result = pack({"inspect", "out"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "flags: 0x14 (flag_bit2 flag_bit4)\n"
              "jvm_on_main_thread: false\nconsole: false\nflag_bit2: true\n"
              "aggressive_updates: false\nflag_bit4: true\n"
              "stack_size: 262144\nmain_class: demo.Main\n"
              "jvm_option_count: 1\njvm_option: -Xss1m\n"
              "app_arg_count: 2\napp_arg: line\\nbreak\napp_arg: C:\\\\dir\n"
              "record_size: 42\n"
              "area_offset: " +
                  std::to_string(find_reserved_area(fake_template())) + "\n");
    expect_refusal({"inspect", launcher_.string()}, refused, "unburned launcher template");
    expect_refusal({"inspect", no_area_.string()}, refused, "no launch record");
    expect_refusal({"inspect"}, usage, "one operand");

    // A named pipe is refused at once, not waited on for a writer that never comes.
    ASSERT_EQ(::mkfifo((in_ / "pipe").c_str(), 0600), 0);
    expect_refusal({"inspect", (in_ / "pipe").string()}, refused, "not a regular file");
    expect_refusal({"burn", (in_ / "pipe").string(), "out2", "--main-class", "M"}, refused, "not a regular file");

    // Output that cannot be written is a failure, not a silent success.
    const std::string to_full_disk = "'" + std::string(KESTROVA_PACK_EXE) + "' inspect '" +
                                     (work_.path() / "out").string() + "' >/dev/full 2>/dev/null";
    const int status = std::system(to_full_disk.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), refused);
}

TEST_F(PackCli, BundleAssemblesTheAppLayout) {
    const auto result = pack(bundle() + Args{"--jvm-option", "-Xmx1g", "--arg", "--demo", "--console", "--feed-url",
                                             "https://example.com/cast.xml?a=1&b=2", "--bundle-version", "2.5"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(tree_listing(work_.path() / "dist"),
              (Args{"Demo.app", "Demo.app/Contents", "Demo.app/Contents/Info.plist", "Demo.app/Contents/MacOS",
                    "Demo.app/Contents/MacOS/Demo", "Demo.app/Contents/Resources", "Demo.app/Contents/Resources/a.jar",
                    "Demo.app/Contents/Resources/kestrova-support.jar", "Demo.app/Contents/runtime",
                    "Demo.app/Contents/runtime/Contents", "Demo.app/Contents/runtime/Contents/Home"}));
    EXPECT_EQ(read_bytes(app_ / "Contents/Resources/a.jar"), "jar a");
    EXPECT_EQ(read_bytes(app_ / "Contents/Resources/kestrova-support.jar"), "support classes");
    EXPECT_EQ(fs::read_symlink(app_ / "Contents/runtime/Contents/Home"), runtime_);
    EXPECT_EQ(mode_of(app_ / "Contents/MacOS/Demo"), 0750u);

    const auto record = record_in(app_ / "Contents/MacOS/Demo");
    EXPECT_TRUE(record.console);
    EXPECT_EQ(record.main_class, "demo.Main");
    EXPECT_EQ(record.jvm_options,
              (Args{"-Djava.class.path=&&/kestrova-support.jar:&&/a.jar", "-Dapp.dir=&&", "-Xmx1g"}));
    EXPECT_EQ(record.app_args, Args{"--demo"});

    const auto plist = read_bytes(app_ / "Contents/Info.plist");
    for (const char* entry :
         {"<key>CFBundleExecutable</key>\n\t<string>Demo</string>",
          "<key>CFBundleIdentifier</key>\n\t<string>app.kestrova.demo</string>",
          "<key>CFBundleName</key>\n\t<string>Demo</string>", "<key>CFBundleVersion</key>\n\t<string>2.5</string>",
          "<key>SUFeedURL</key>\n\t<string>https://example.com/cast.xml?a=1&amp;b=2</string>"})
        EXPECT_NE(plist.find(entry), std::string::npos) << entry;
}

TEST_F(PackCli, BundleRefusals) {
    write_bytes(work_.path() / "a-file", "x");
    fs::create_directories(in_ / "not-a-jdk");
    write_bytes(in_ / "x:y.jar", "colon");
    const struct {
        Args args;
        int status;
        const char* contains;
    } cases[] = {
        {{"bundle", "--out", "d", "--main-class", "M", "--jar", "j"}, usage, "missing required option --name"},
        {{"bundle", "--name", "D", "--main-class", "M", "--jar", "j"}, usage, "missing required option --out"},
        {{"bundle", "--name", "D", "--out", "d", "--main-class", "M"}, usage, "missing required option --jar"},
        {bundle() + Args{"stray"}, usage, "no operands"},
        {bundle_with("--name", "a/b"), usage, "--name \"a/b\""},
        {bundle() + Args{"--jar", "missing.jar"}, refused, "missing.jar"},
        {bundle() + Args{"--jar", (in_ / "other" / "a.jar").string()}, refused, "two JARs"},
        {bundle() + Args{"--jar", (in_ / "x:y.jar").string()}, refused, "contains ':'"},
        {bundle() + repeated("--jvm-option", 254), refused, "at most 255 JVM options"},  // 2 of the tool's own
        {bundle_with("--launcher", no_area_.string()), refused, "no reserved area"},
        {bundle_with("--support-jar", "nope.jar"), refused, "support JAR"},
        {bundle_with("--runtime", (in_ / "not-a-jdk").string()), refused, "not a Java home"},
        {bundle() + Args{"--with-updater"}, refused, "does not exist; build libkestrova-updater.so"},
        {bundle() + Args{"--feed-url", "http://x/\x01"}, refused, kestrova::info_keys::feed_url},
        {bundle_with("--out", "a-file"), refused, "not a directory"},
        {bundle() + Args{"--bundle-version", ""}, usage, "--bundle-version needs a non-empty version"},
        {bundle_with("--name", std::string(252, 'n')), usage, "over 251 bytes"},
        {bundle() + Args{"--add-launcher", "Demo=demo.Other"}, usage, "or the bundle's own launcher"},
        {bundle() + Args{"--add-launcher", "tool=demo.Tool:tty"}, usage, "is not NAME=MAINCLASS"},
        {bundle() + Args{"--add-launcher", "to\nol=demo.Tool"}, usage, "holds a control character"},
        {bundle() + Args{"--add-launcher", "tool=a.B=x"}, usage, "\"a.B=x\" as the main class"},
        {bundle() + Args{"--desktop-integration", "always"}, usage, "takes ask, yes or no"},
        {bundle() + Args{"--category", "Utility"}, usage, "add --desktop-integration ask or yes"},
        {bundle() + Args{"--desktop-integration", "no", "--mime-type", "text/plain"}, usage,
         "add --desktop-integration ask or yes"},
        {bundle() + Args{"--desktop-integration", "yes", "--category", "Utilities"}, usage, "not a category"},
        {bundle() + Args{"--desktop-integration", "ask", "--mime-type", "plain"}, usage, "not a media type"},
        {bundle() + Args{"--desktop-integration", "ask", "--mime-type", "application/x-none", "--mime-definition",
                         (in_ / "other" / "a.jar").string()},
         refused, "not a shared-mime-info definition"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
        expect_refusal(c.args, c.status, c.contains);
    }
}

TEST_F(PackCli, BundleInputAndRuntimeRefusals) {
    // The stand-in runtime is a JDK without jmods, as Debian's JRE packages are.
    fs::create_directories(runtime_ / "bin");
    for (const char* tool : {"jlink", "jdeps", "java"}) write_bytes(runtime_ / "bin" / tool, "");
    write_bytes(runtime_ / "release", "JAVA_VERSION=\"17.0.15\"\n");
    fs::create_directories(in_ / "empty-input");
    const struct {
        Args args;
        int status;
        std::string contains;
    } cases[] = {
        {bundle() + Args{"--jlink"}, refused,
         "has no jmods directory, which --jlink links from; install openjdk-17-jmods"},
        {bundle() + Args{"--jlink", "--copy-runtime"}, usage, "--jlink and --copy-runtime exclude each other"},
        {bundle() + Args{"--add-modules", "java.sql"}, usage, "add --jlink"},
        {bundle() + Args{"--locales", "fi"}, usage, "add --jlink"},
        {bundle() + Args{"--jlink", "--locales", "fi,,ru"}, usage, "--locales takes all or a comma-separated list"},
        {bundle() + Args{"--jvm-option=--module-path=" + (in_ / "nope").string()}, refused,
         "--module-path names \"" + (in_ / "nope").string() + "\", which does not exist"},
        {bundle() + Args{"--jvm-option", "--add-opens", "--jvm-option", "java.base/java.lang=ALL-UNNAMED"}, usage,
         "--jvm-option=--add-opens=java.base/java.lang=ALL-UNNAMED"},
        {bundle() + Args{"--jvm-option=-cp", "--jvm-option=x.jar"}, usage, "add the JARs with --jar"},
        {bundle() + Args{"--input", (in_ / "empty-input").string()}, refused, "holds no JAR"},
        {bundle() + Args{"--input", (in_ / "nope").string()}, refused, "cannot read the --input directory"},
        {bundle() + Args{"--resource", (in_ / "nope").string()}, refused, "--resource"},
        {bundle() + Args{"--resource", (in_ / "other" / "a.jar").string()}, refused,
         "would be written twice into Contents/Resources"},
        {bundle() + Args{"--main-jar", jar_a_.string()}, refused, "as a JAR (ZIP archive)"},
        {{"bundle", "--name", "D", "--out", "d", "--main-class", "M"}, usage, "--jar, --main-jar or --input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
        expect_refusal(c.args, c.status, c.contains);
    }
    // With jmods, a module the JDK does not have is named.
    fs::create_directories(runtime_ / "jmods");
    write_bytes(runtime_ / "jmods" / "java.base.jmod", "");
    expect_refusal(bundle() + Args{"--jlink", "--add-modules", "java.base,java.nope"}, refused,
                   "--add-modules names \"java.nope\", which is not among the JDK's jmods");
    expect_refusal(bundle() + Args{"--jlink", "--jlink-modules", "all"}, usage,
                   "--jlink-modules takes detected or default, not \"all\"");
}

// The desktop's refusals: an icon that is not a PNG or is named like another file of
// Contents/Resources, a category the menu does not know, a removal with nothing to remove, and an
// entry the tool did not write, which stays as it was.
TEST_F(PackCli, DesktopEntryAndIconRefusals) {
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0"sv) + "crc.";
    write_bytes(in_ / "icon.png", png);
    write_bytes(in_ / "fake.png", "GIF89a, not a PNG");
    fs::create_directories(in_ / "res");
    write_bytes(in_ / "res" / "icon.png", "a data file of the application");
    fs::create_directories(in_ / "png");
    write_bytes(in_ / "png" / "a.jar", png);
    write_bytes(in_ / "types.xml",
                "<mime-info xmlns='http://www.freedesktop.org/standards/shared-mime-info'>"
                "<mime-type type='text/x-other'/></mime-info>");
    ASSERT_EQ(pack(bundle()).status, 0);
    const fs::path foreign = work_.path() / "apps" / "app.kestrova.demo.desktop";
    fs::create_directories(foreign.parent_path());
    write_bytes(foreign, "[Desktop Entry]\nType=Application\nName=Someone else's\nExec=other\n");
    fs::create_directories(work_.path() / "no-entries");
    const Args other = bundle_with("--name", "Other");
    const struct {
        Args args;
        int status;
        const char* contains;
    } cases[] = {
        {other + Args{"--icon", (in_ / "fake.png").string()}, refused, "is not a PNG image"},
        {other + Args{"--icon", (in_ / "png" / "a.jar").string()}, refused, "has the file name of a JAR"},
        {other + Args{"--icon", (in_ / "icon.png").string(), "--resource", (in_ / "res" / "icon.png").string()},
         refused, "has the file name of a --resource"},
        {{"desktop-entry", app_.string(), "--dir", "apps", "--category", "Games"}, usage, "--category \"Games\""},
        {{"desktop-entry", app_.string(), "--dir", "no-entries", "--remove"}, refused, "nothing was removed"},
        {{"desktop-entry", app_.string(), "--dir", "apps"}, refused, "was not written by kestrova-pack"},
        {{"desktop-entry", app_.string(), "--dir", "types", "--mime-type", "application/x-kestrova-none"},
         refused,
         "give its shared-mime-info definition"},
        {{"desktop-entry", app_.string(), "--dir", "types", "--mime-type", "application/x-kestrova-none",
          "--mime-definition", (in_ / "types.xml").string()},
         refused,
         "does not define \"application/x-kestrova-none\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
        expect_refusal(c.args, c.status, c.contains);
    }
    EXPECT_EQ(read_bytes(foreign), "[Desktop Entry]\nType=Application\nName=Someone else's\nExec=other\n");
}

// A console bundle with a GUI command gets that command's entry alone, opening the types given; a
// type the system does not know is installed into the mime database beside the entries, and an
// update that keeps the command leaves its entry as it is.
TEST_F(PackCli, DesktopEntryPerGuiLauncherOpensTheGivenTypes) {
    const fs::path data = work_.path() / "data", apps = data / "applications";
    const std::string definition =
        "<?xml version='1.0'?>\n<mime-info xmlns='http://www.freedesktop.org/standards/"
        "shared-mime-info'><mime-type type='application/x-kestrova-demo'><glob "
        "pattern='*.kdemo'/></mime-type></mime-info>\n";
    write_bytes(in_ / "demo.xml", definition);
    ASSERT_EQ(pack(bundle() +
                   Args{"--console", "--add-launcher", "gui=demo.Gui:gui", "--add-launcher", "tool=demo.Tool"})
                  .status,
              0);
    const auto made = pack({"desktop-entry", app_.string(), "--dir", apps.string(), "--mime-type", "text/plain",
                            "--mime-type", "application/x-kestrova-demo", "--mime-definition",
                            (in_ / "demo.xml").string(), "--comment", "Edits demos", "--keywords", "demo,edit"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("note: the bundle's runtime is a link to"), std::string::npos) << made.err;
    const fs::path entry = apps / "app.kestrova.demo.gui.desktop";
    EXPECT_EQ(tree_listing(apps), std::vector<std::string>{"app.kestrova.demo.gui.desktop"}) << made.out;
    const std::string text = read_bytes(entry);
    const std::string launcher = fs::absolute(app_ / "Contents" / "MacOS" / "gui").lexically_normal().string();
    for (const std::string& line :
         std::vector<std::string>{"Name=gui", "Exec=" + launcher + " %F", "Terminal=false", "StartupWMClass=demo-Gui",
                                  "MimeType=text/plain;application/x-kestrova-demo;", "Comment=Edits demos",
                                  "Keywords=demo;edit;"})
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(read_bytes(data / "mime" / "packages" / "app.kestrova.demo.xml"), definition);
    if (fs::exists("/usr/bin/update-mime-database")) {
        EXPECT_TRUE(fs::exists(data / "mime" / "application" / "x-kestrova-demo.xml"))
            << "the database was not updated";
    }
    EXPECT_EQ(freedesktop::refresh_desktop_entries(app_, "Demo", data), std::vector<fs::path>{});
    EXPECT_EQ(read_bytes(entry), text);
}

// The program GLib starts for an entry, as `gio launch` starts it from the menu: the path the
// launcher was run as, empty when GLib did not load the entry or nothing ran.
std::string launched_by_glib(const fs::path& entry, const fs::path& launcher, const fs::path& record) {
    fs::remove(launcher);
    // Written aside and renamed, so that the record is never seen half-written.
    write_bytes(launcher, "#!/bin/sh\nprintf '%s' \"$0\" > \"" + record.string() + ".part\" && mv \"" +
                              record.string() + ".part\" \"" + record.string() + "\"\n");
    fs::permissions(launcher, fs::perms(0755));
    fs::remove(record);
    const auto gio = run_program("/usr/bin/gio", {"launch", entry.string()}, entry.parent_path());
    for (int i = 0; i < 500 && gio.status == 0 && !fs::exists(record); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fs::exists(record) ? read_bytes(record) : gio.err;
}

// GLib loads and starts the entry for any path the tool takes, and still does once an update has
// renamed the launcher and refreshed the entry; the entries of other bundles stay as they were.
TEST_F(PackCli, DesktopEntriesStartThroughGlibBeforeAndAfterAnUpdateRenamesTheLauncher) {
    if (!fs::exists("/usr/bin/gio")) GTEST_SKIP() << "gio (GLib) is not installed";
    const fs::path data = work_.path() / "data", apps = data / "applications";
    ASSERT_EQ(pack(bundle_with("--out", "other") + Args{"--bundle-identifier", "app.other"}).status, 0);
    ASSERT_EQ(pack({"desktop-entry", (work_.path() / "other" / "Demo.app").string(), "--dir", apps.string()}).status,
              0);
    for (const std::string dir :
         {"plain", "100%", "a b", "q\"uote", "d$ollar`tick", "back\\slash", "x;y=z", "\u00fcn"}) {
        SCOPED_TRACE(dir);
        const fs::path app = work_.path() / dir / "Demo.app";
        ASSERT_EQ(pack(bundle_with("--out", dir)).status, 0);
        const auto made = pack({"desktop-entry", app.string(), "--dir", apps.string()});
        ASSERT_EQ(made.status, 0) << made.err;
        const fs::path entry = apps / "app.kestrova.demo.desktop";
        EXPECT_EQ(launched_by_glib(entry, app / "Contents/MacOS/Demo", work_.path() / "ran"),
                  (app / "Contents/MacOS/Demo").string());

        fs::rename(app / "Contents/MacOS/Demo", app / "Contents/MacOS/Demo 2%");
        const auto refreshed = freedesktop::refresh_desktop_entries(app, "Demo 2%", data);
        EXPECT_EQ(refreshed, std::vector<fs::path>{entry});
        EXPECT_EQ(launched_by_glib(entry, app / "Contents/MacOS/Demo 2%", work_.path() / "ran"),
                  (app / "Contents/MacOS/Demo 2%").string());
        fs::remove(entry);
    }
    const std::string other_entry = read_bytes(apps / "app.other.desktop");
    EXPECT_NE(other_entry.find("/other/Demo.app/Contents/MacOS/Demo\n"), std::string::npos) << other_entry;
}

// An Exec the user extended keeps its own arguments; the launcher is replaced as a whole argument.
TEST(DesktopEntryRefresh, ReplacesOnlyTheLauncherInTheMainGroup) {
    const struct {
        std::string before, after;
    } cases[] = {
        {"[Desktop Entry]\nExec=/b/A.app/Contents/MacOS/A --big %U\nTryExec=/b/A.app/Contents/MacOS/A\n",
         "[Desktop Entry]\nExec=/b/A.app/Contents/MacOS/B --big %U\nTryExec=/b/A.app/Contents/MacOS/B\n"},
        {"[Desktop Entry]\nExec=/b/A.app/Contents/MacOS/Ax %U\n[Desktop Action n]\nExec=/b/A.app/Contents/MacOS/A\n",
         "[Desktop Entry]\nExec=/b/A.app/Contents/MacOS/Ax %U\n[Desktop Action n]\nExec=/b/A.app/Contents/MacOS/A\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(freedesktop::desktop_entry_with_launcher(c.before, "/b/A.app/Contents/MacOS/A",
                                                           "/b/A.app/Contents/MacOS/B"),
                  c.after);
}

// An application that loads a JDK class only by its name, and declares a provider of a JDK service
// type: jdeps sees neither, so the runtime made for it must still hold both modules, and start it.
TEST_F(PackCli, JlinkAddsTheModulesOfClassesTheJarsNameOnlyByText) {
    const fs::path jdk = KESTROVA_PACK_JAVA_HOME;
    const fs::path source = in_ / "src" / "demo" / "ByName.java";
    fs::create_directories(source.parent_path());
    write_bytes(source,
                "package demo;\npublic class ByName {\n  public static void main(String[] a) throws Exception {\n"
                "    Class.forName(\"java.sql.DriverManager\");\n    System.out.println(\"loaded\");\n  }\n}\n");
    fs::create_directories(in_ / "classes" / "META-INF" / "services");
    write_bytes(in_ / "classes" / "META-INF" / "services" / "javax.script.ScriptEngineFactory", "\n");
    ASSERT_EQ(run_program(jdk / "bin" / "javac", {"-d", (in_ / "classes").string(), source.string()}, in_).status, 0);
    const fs::path jar = in_ / "byname.jar";
    ASSERT_EQ(run_program(jdk / "bin" / "jar",
                          {"--create", "--file", jar.string(), "-C", (in_ / "classes").string(), "."}, in_)
                  .status,
              0);

    const auto made = pack({"bundle", "--name", "ByName", "--out", "dist", "--main-class", "demo.ByName", "--jar",
                            jar.string(), "--launcher", launcher_.string(), "--support-jar", jar.string(), "--runtime",
                            jdk.string(), "--jlink"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("adds java.sql (for java.sql.DriverManager in byname.jar), java.scripting (for "
                            "javax.script.ScriptEngineFactory in byname.jar)"),
              std::string::npos)
        << made.err;
    EXPECT_EQ(std::count(made.err.begin(), made.err.end(), '\n'), 1) << made.err;
    const fs::path home = work_.path() / "dist" / "ByName.app" / "Contents" / "runtime" / "Contents" / "Home";
    const auto ran = run_program(home / "bin" / "java", {"-cp", jar.string(), "demo.ByName"}, in_);
    EXPECT_EQ(ran.out, "loaded\n") << ran.err;
}

// NAME.app is one file name: the longest name that fits is taken, staging directory and all.
TEST_F(PackCli, BundleTakesANameUpToTheFileNameLimit) {
    const std::string name(251, 'n');
    const auto result = pack(bundle_with("--name", name));
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path app = work_.path() / "dist" / (name + ".app");
    EXPECT_EQ(record_in(app / "Contents/MacOS" / name).main_class, "demo.Main");
    EXPECT_EQ(std::distance(fs::directory_iterator(app.parent_path()), fs::directory_iterator()), 1)
        << "the staging directory is gone";
    // Replacing it moves the old one aside under a name of its own first.
    const auto again = pack(bundle_with("--name", name) + Args{"--force"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(app.parent_path()), fs::directory_iterator()), 1);
}

// Two runs into the same place at once: without --force one of them must fail, never replace the
// other's bundle. A few rounds, since the two only overlap now and then.
TEST_F(PackCli, TwoBundleRunsWithoutForceNeverReplaceEachOther) {
    for (int round = 0; round < 10; ++round) {
        fs::remove_all(work_.path() / "dist");
        RunResult results[2];
        std::thread other([&] { results[1] = pack(bundle()); });
        results[0] = pack(bundle());
        other.join();
        const int succeeded = (results[0].status == 0) + (results[1].status == 0);
        ASSERT_EQ(succeeded, 1) << "round " << round << ": " << results[0].err << results[1].err;
        const RunResult& failed = results[0].status == 0 ? results[1] : results[0];
        EXPECT_EQ(failed.status, refused) << failed.err;
        EXPECT_NE(failed.err.find("already exists; pass --force"), std::string::npos) << failed.err;
        EXPECT_EQ(tree_listing(work_.path() / "dist").front(), "Demo.app");
        EXPECT_EQ(std::distance(fs::directory_iterator(work_.path() / "dist"), fs::directory_iterator()), 1);
    }
}

TEST_F(PackCli, BundleReplacesAnExistingAppOnlyWithForce) {
    fs::create_directories(app_ / "Contents");
    write_bytes(app_ / "Contents" / "old", "old");
    expect_refusal(bundle(), refused, "--force");
    expect_refusal(bundle() + Args{"--force", "--with-updater"}, refused, "libkestrova-updater.so");
    EXPECT_EQ(read_bytes(app_ / "Contents" / "old"), "old");

    write_bytes(launcher_.parent_path() / "libkestrova-updater.so", "updater");
    const auto result = pack(bundle() + Args{"--force", "--with-updater"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(app_ / "Contents" / "old"));
    EXPECT_EQ(read_bytes(app_ / "Contents/Frameworks/libkestrova-updater.so"), "updater");
    EXPECT_EQ(std::distance(fs::directory_iterator(app_.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(PackCli, BundleCopiesTheRuntimeKeepingItsLinksOrLeavesNothingWhenItCannot) {
    // Links out of the runtime, as Debian's JDK has into /etc: absolute to a file, absolute to a
    // directory, and relative but climbing out.
    fs::create_directories(in_ / "etc" / "certs");
    write_bytes(in_ / "etc" / "java.security", "security settings");
    write_bytes(in_ / "etc" / "certs" / "cacerts", "certificates");
    write_bytes(in_ / "outside.txt", "outside");
    fs::create_directories(runtime_ / "conf");
    fs::create_symlink(in_ / "etc" / "java.security", runtime_ / "conf" / "java.security");
    fs::create_directory_symlink(in_ / "etc" / "certs", runtime_ / "conf" / "certs");
    fs::create_symlink("../../outside.txt", runtime_ / "conf" / "escape.txt");

    const auto result = pack(bundle() + Args{"--copy-runtime"});
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path home = app_ / "Contents/runtime/Contents/Home";
    EXPECT_FALSE(fs::is_symlink(home));
    EXPECT_EQ(read_bytes(home / "lib/server/libjvm.so"), "not really a JVM");
    // The runtime's own link within it stays a link; the others become what they led to.
    EXPECT_EQ(fs::read_symlink(home / "lib/link"), "server");
    EXPECT_FALSE(fs::is_symlink(home / "conf/java.security"));
    EXPECT_EQ(read_bytes(home / "conf/java.security"), "security settings");
    EXPECT_FALSE(fs::is_symlink(home / "conf/certs"));
    EXPECT_EQ(read_bytes(home / "conf/certs/cacerts"), "certificates");
    EXPECT_FALSE(fs::is_symlink(home / "conf/escape.txt"));
    EXPECT_EQ(read_bytes(home / "conf/escape.txt"), "outside");
    // Nothing in the copy leads out of the bundle.
    const fs::path bundle_root = fs::canonical(app_);
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        const auto resolved = fs::canonical(entry.path()).string();
        EXPECT_EQ(resolved.rfind(bundle_root.string() + "/", 0), 0u) << entry.path() << " -> " << resolved;
    }

    // A named pipe cannot be copied: the failure comes after the first files were written.
    fs::remove_all(app_);
    ASSERT_EQ(::mkfifo((runtime_ / "pipe").c_str(), 0600), 0);
    expect_refusal(bundle() + Args{"--copy-runtime"}, refused, "could not assemble the bundle");
}

TEST_F(PackCli, BundleFindsTemplateSupportJarAndRuntimeFromItsOwnLocation) {
    const auto result = pack(
        {"bundle", "--name", "Demo", "--out", "dist", "--main-class", "M", "--jar", jar_a_.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_bytes(app_ / "Contents/Resources/kestrova-support.jar"),
              read_bytes(KESTROVA_PACK_STAGE_SUPPORT_JAR));
    EXPECT_EQ(fs::file_size(app_ / "Contents/MacOS/Demo"), fs::file_size(KESTROVA_PACK_STAGE_LAUNCHER));
    EXPECT_EQ(fs::read_symlink(app_ / "Contents/runtime/Contents/Home"), fs::path(KESTROVA_PACK_JAVA_HOME));
    EXPECT_EQ(record_in(app_ / "Contents/MacOS/Demo").main_class, "M");
}

}  // namespace
}  // namespace kestrova::pack
