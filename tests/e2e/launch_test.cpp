// End-to-end: real bundles with the machine's JDK, launched as the system would launch them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "kestrova/burned_in_data.h"
#include "tests/support/bundle.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// One bundle of the probe application shared by the tests that need nothing special.
class ProbeLaunch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        BundleRecipe recipe;
        recipe.args = {"rec one", "rec&&two"};
        executable_ = make_bundle(dir_->path(), recipe);
    }
    static void TearDownTestSuite() { delete dir_; }

    static fs::path resources() { return dir_->path() / "Probe.app" / "Contents" / "Resources"; }

    static inline TempDir* dir_ = nullptr;
    static inline fs::path executable_;
};

TEST_F(ProbeLaunch, RecordedArgumentsComeFirstThenTheCommandLineUnexpanded) {
    const auto r = launch(executable_, {"b", "", "x&&y"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(values_of(r.out, "args.length"), std::vector<std::string>{"5"});
    EXPECT_EQ(value_of(r.out, "arg[0]"), "rec one");
    EXPECT_EQ(value_of(r.out, "arg[1]"), "rec&&two");
    EXPECT_EQ(value_of(r.out, "arg[2]"), "b");
    EXPECT_EQ(value_of(r.out, "arg[3]"), "");
    EXPECT_EQ(value_of(r.out, "arg[4]"), "x&&y");
    EXPECT_EQ(value_of(r.out, "main.returned"), "true");
}

TEST_F(ProbeLaunch, SunJavaCommandJoinsEverythingVerbatimAndExpandsTokens) {
    const auto r = launch(executable_, {"b", "", "x&&y"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string dir = fs::canonical(resources()).string();
    EXPECT_EQ(value_of(r.out, "sun.java.command"), "probe.Probe rec one rec" + dir + "two b  x" + dir + "y");
}

TEST_F(ProbeLaunch, AppDirIsTheResolvedResourcesDirectory) {
    const auto r = launch(executable_);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string dir = fs::canonical(resources()).string();
    EXPECT_EQ(value_of(r.out, "app.dir"), dir);
    EXPECT_EQ(value_of(r.out, "java.class.path"), dir + "/kestrova-support.jar:" + dir + "/probe.jar");
    EXPECT_EQ(value_of(r.out, "sun.java.command"), "probe.Probe rec one rec" + dir + "two");
}

TEST_F(ProbeLaunch, CharactersOutsideTheBasicPlaneArriveIntact) {
    // U+1F600 and U+20BB7 (a rare CJK character) as standard four-byte UTF-8.
    const auto r = launch(executable_, {"\xF0\x9F\x98\x80 \xF0\xA0\xAE\xB7"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "argcp[2]"), "U+1F600 U+0020 U+20BB7");
}

TEST_F(ProbeLaunch, BytesThatAreNotUtf8ReachMainAsReplacementCharacters) {
    const auto r = launch(executable_, {"a\xFF"
                                        "b\xC3"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "argcp[2]"), "U+0061 U+FFFD U+0062 U+FFFD");
}

TEST_F(ProbeLaunch, JavaOptionVariablesReachNeitherTheJvmNorItsChildren) {
    ProcessOptions options;
    options.env["_JAVA_OPTIONS"] = "-Dprobe.marker=from-env";
    options.env["JAVA_TOOL_OPTIONS"] = "-Dprobe.marker=from-tool";
    options.env["JDK_JAVA_OPTIONS"] = "-Dprobe.marker=from-jdk";
    std::vector<std::string> argv = {executable_.string(), "--child-env"};
    options.env["LD_LIBRARY_PATH"] = std::nullopt;
    const auto r = run_process(argv, options);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "probe.marker"), "null");
    EXPECT_EQ(value_of(r.out, "env._JAVA_OPTIONS"), "null");
    EXPECT_EQ(value_of(r.out, "env.JDK_JAVA_OPTIONS"), "null");
    EXPECT_EQ(value_of(r.out, "env.JAVA_TOOL_OPTIONS"), "null");
    EXPECT_EQ(value_of(r.out, "child.has_JAVA_OPTIONS"), "false");
    EXPECT_EQ(value_of(r.out, "child.has_JAVA_TOOL_OPTIONS"), "false");
    // The JVM announces options it picked up from these variables; none must be announced.
    EXPECT_EQ(r.err.find("Picked up"), std::string::npos) << r.err;
}

TEST_F(ProbeLaunch, ExitStatusIsTheApplicationsOwn) {
    EXPECT_EQ(launch(executable_, {"--exit", "7"}).exit_status, 7);
    EXPECT_EQ(launch(executable_, {"--exit", "0"}).exit_status, 0);
}

TEST_F(ProbeLaunch, NonDaemonThreadKeepsTheProcessUntilItEnds) {
    const auto r = launch(executable_, {"--nondaemon", "1500"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const auto returned = r.out.find("main.returned=true");
    const auto done = r.out.find("nondaemon.done=true");
    ASSERT_NE(returned, std::string::npos);
    ASSERT_NE(done, std::string::npos) << "exited before the non-daemon thread ended";
    EXPECT_LT(returned, done);
}

TEST_F(ProbeLaunch, ParkedMainThreadUsesNextToNoCpu) {
    const auto r = launch(executable_, {"--main-thread-cpu", "2000"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const auto ticks = value_of(r.out, "main_thread_ticks");
    ASSERT_TRUE(ticks);
    // Clock ticks are 10 ms; a spinning loop would show about 200.
    EXPECT_LE(std::stoi(*ticks), 2);
}

TEST_F(ProbeLaunch, JvmRunsOnASecondThreadByDefault) {
    const auto r = launch(executable_, {"--native-thread"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "native.is_main_thread"), "false");
}

TEST_F(ProbeLaunch, LaunchThroughASymbolicLinkTakesTheTargetsDirectory) {
    TempDir elsewhere;
    const fs::path link = elsewhere.path() / "link";
    fs::create_symlink(executable_, link);
    const auto r = launch(link);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "app.dir"), fs::canonical(resources()).string());
}

// --- Uncaught exceptions -----------------------------------------------------------------------

constexpr const char* alert_title = "The application has experienced an internal error and must quit.";

TEST(UncaughtException, GuiAppPrintsTheTraceThenTheAlertAndExitsOne) {
    TempDir dir;
    const auto executable = make_bundle(dir.path(), {});
    // With no display the alert falls back to standard error, after the stack trace.
    const auto r = launch(executable, {"--throw", "bad <input> & worse"});
    EXPECT_EQ(r.exit_status, 1);
    const auto trace = r.err.find("java.lang.IllegalStateException: bad <input> & worse\n\tat probe.Probe.main");
    const auto title = r.err.find(alert_title);
    ASSERT_NE(trace, std::string::npos) << r.err;
    ASSERT_NE(title, std::string::npos) << r.err;
    EXPECT_LT(trace, title);
    EXPECT_NE(r.err.find(std::string(alert_title) + "\njava.lang.IllegalStateException: bad <input> & worse\n"
                                                    "Caused by: java.lang.RuntimeException: root <cause> & more\n"),
              std::string::npos)
        << r.err;
}

// A display that cannot be reached (a stale DISPLAY after ssh, a server that has gone away): the
// dialog tool fails as it would for a closed window, but the texts must still reach the user.
TEST(UncaughtException, UnreachableDisplayFallsBackToStandardError) {
    TempDir dir;
    const auto executable = make_bundle(dir.path(), {});
    ProcessOptions options;
    options.env["DISPLAY"] = ":4093";  // no X server listens there
    const auto r = launch(executable, {"--throw", "no screen"}, options);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("cannot open display"), std::string::npos) << "zenity's own words are passed on:\n" << r.err;
    EXPECT_NE(r.err.find(std::string(alert_title) + "\njava.lang.IllegalStateException: no screen\n"),
              std::string::npos)
        << r.err;
}

// An application that crashes still gets its shutdown hooks run, as under `java`: the logs that a
// hook flushes are the ones that tell what happened. The status stays 1.
TEST(UncaughtException, ShutdownHooksRunBeforeTheProcessEnds) {
    TempDir dir;
    for (const bool console : {true, false}) {
        BundleRecipe recipe;
        recipe.name = console ? "HookConsole" : "HookGui";
        if (console) recipe.flags = {"--console"};
        const fs::path marker = dir.path() / (recipe.name + ".marker");
        const auto r = launch(make_bundle(dir.path(), recipe), {"--hook", marker.string(), "--throw", "crash"});
        EXPECT_EQ(r.exit_status, 1) << recipe.name << ": " << r.err;
        EXPECT_NE(r.err.find("java.lang.IllegalStateException: crash"), std::string::npos) << r.err;
        std::ifstream in(marker);
        std::string content;
        std::getline(in, content);
        EXPECT_EQ(content, "hook ran") << recipe.name << ": the shutdown hook did not run";
    }
}

TEST(UncaughtException, ConsoleAppPrintsOnlyTheTrace) {
    TempDir dir;
    BundleRecipe recipe;
    recipe.flags = {"--console"};
    const auto r = launch(make_bundle(dir.path(), recipe), {"--throw", "oops"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("java.lang.IllegalStateException: oops"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << r.err;
}

// The application's default uncaught-exception handler hears of the exception on the main thread,
// as with java; the launcher's report follows, unless the handler ends the process itself.
TEST(UncaughtException, TheApplicationsDefaultHandlerHearsOfItFirst) {
    TempDir dir;
    BundleRecipe recipe;
    recipe.flags = {"--console"};
    const auto executable = make_bundle(dir.path(), recipe);
    struct Case {
        const char* handler_then;
        int status;
        bool trace;
    };
    for (const Case c : {Case{"return", 1, true}, Case{"7", 7, false}}) {
        const auto r = launch(executable, {"--default-handler", c.handler_then, "--throw", "oops"});
        EXPECT_EQ(r.exit_status, c.status) << c.handler_then << ": " << r.err;
        EXPECT_EQ(value_of(r.out, "handler.saw"), "main oops") << c.handler_then << ": " << r.out;
        EXPECT_EQ(r.err.find("java.lang.IllegalStateException: oops") != std::string::npos, c.trace)
            << c.handler_then << ": " << r.err;
    }
}

TEST(UncaughtException, JvmOnMainThreadShowsTheAlertWithoutDispatch) {
    TempDir dir;
    BundleRecipe recipe;
    recipe.flags = {"--main-thread"};
    const auto executable = make_bundle(dir.path(), recipe);
    const auto ok = launch(executable, {"--native-thread"});
    ASSERT_EQ(ok.exit_status, 0) << ok.err;
    EXPECT_EQ(value_of(ok.out, "native.is_main_thread"), "true");
    const auto r = launch(executable, {"--throw", "on main"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(std::string(alert_title) + "\njava.lang.IllegalStateException: on main"), std::string::npos)
        << r.err;
}

// A support JAR of the test's own, whose Launcher breaks its contract in turn.
class BrokenLauncher : public ::testing::Test {
protected:
    ProcessResult run_mode(const std::string& mode) {
        BundleRecipe recipe;
        recipe.name = "Broken";
        recipe.support_jar = Artefacts::fake_launcher_jar();
        recipe.jvm_options = {"-Dfake.mode=" + mode};
        return launch(make_bundle(dir_.path(), recipe), {"--throw", "from main"});
    }
    void TearDown() override { fs::remove_all(dir_.path() / "Broken.app"); }
    TempDir dir_;
};

TEST_F(BrokenLauncher, FromExceptionRunsBeforeTheTraceWhichPrecedesTheAlert) {
    const auto r = run_mode("marker");
    EXPECT_EQ(r.exit_status, 1);
    const auto marker = r.err.find("FAKE fromException java.lang.IllegalStateException");
    const auto trace = r.err.find("java.lang.IllegalStateException: from main\n\tat ");
    const auto alert = r.err.find(alert_title);
    ASSERT_NE(marker, std::string::npos) << r.err;
    ASSERT_NE(trace, std::string::npos) << r.err;
    ASSERT_NE(alert, std::string::npos) << r.err;
    EXPECT_LT(marker, trace);
    EXPECT_LT(trace, alert);
    // The text made by the Java side, with a character outside the Basic Plane, reaches the alert
    // as standard UTF-8.
    EXPECT_NE(r.err.find("FAKE TEXT \xF0\x9F\x98\x80 from main"), std::string::npos) << r.err;
}

TEST_F(BrokenLauncher, UnsetMainMethodEndsWithAMessageNotACrash) {
    const auto r = run_mode("null-main");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Launcher.prepare returned no main method"), std::string::npos) << r.err;
}

TEST_F(BrokenLauncher, NullTextStillShowsTheTraceAndEndsWithAMessage) {
    const auto r = run_mode("null-text");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("java.lang.IllegalStateException: from main"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Launcher.fromException gave no text"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << r.err;
}

TEST_F(BrokenLauncher, ThrowingFromExceptionDescribesOnlyThatAndShowsNoAlert) {
    const auto r = run_mode("throw-text");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("java.lang.UnsupportedOperationException: fromException refused"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("java.lang.IllegalStateException: from main\n\tat "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << r.err;
}

// --- Failures before the application runs ------------------------------------------------------

TEST(LaunchFailure, MissingLauncherClassIsDescribedWithoutAnAlert) {
    TempDir dir;
    BundleRecipe recipe;
    // A later class path option wins: this one leaves out the support JAR.
    recipe.jvm_options = {"-Djava.class.path=&&/probe.jar"};
    const auto r = launch(make_bundle(dir.path(), recipe));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("tessavane/kestrova/launcher/Launcher"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("main.returned"), std::string::npos);
}

TEST(LaunchFailure, UnknownMainClassFailsInPrepareWithAClearMessage) {
    TempDir dir;
    BundleRecipe recipe;
    recipe.main_class = "no.such.Main";
    const auto r = launch(make_bundle(dir.path(), recipe));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Main class no.such.Main was not found on the class path"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(alert_title), std::string::npos) << r.err;
}

TEST(LaunchFailure, UnrecognisedOptionsMakeJvmCreationFail) {
    struct Case {
        const char* option;
        const char* message;
    };
    for (const Case c : {Case{"-bogus", "Failed to create JVM: Error 0xffffffff\n"},
                         Case{"-XX:+KestrovaBogus", "Failed to create JVM: Error 0xfffffffa\n"}}) {
        TempDir dir;
        BundleRecipe recipe;
        recipe.jvm_options = {c.option};
        const auto r = launch(make_bundle(dir.path(), recipe));
        EXPECT_EQ(r.exit_status, 1) << c.option;
        EXPECT_TRUE(r.err.ends_with(c.message)) << c.option << ": " << r.err;
    }
}

TEST(LaunchFailure, ExecutablePathOfTwoThousandBytesIsTooLong) {
    TempDir dir;
    const auto executable = make_bundle(dir.path(), {});
    // Nest the bundle until its executable's absolute path is at least 2,048 bytes long.
    fs::path deep = dir.path();
    while ((deep / "Probe.app/Contents/MacOS/Probe").string().size() < 2048) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    fs::rename(dir.path() / "Probe.app", deep / "Probe.app");
    ProcessOptions options;
    options.cwd = deep;
    // Started by a relative path: the absolute one is too long for the kernel's own limits too.
    const auto r = launch("./Probe.app/Contents/MacOS/Probe", {}, options);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Path to executable is too long, have 2048 bytes buffer space.\n");
}

TEST(LaunchFailure, WithoutResourcesTheUnresolvedDirectoryIsUsed) {
    TempDir dir;
    BundleRecipe recipe;
    // The JARs are named by absolute path, so the launch works with Resources gone.
    recipe.jvm_options = {"-Djava.class.path=" + Artefacts::probe_jar().string() + ":" +
                              Artefacts::support_jar().string(),
                          "-Dprobe.marker=&&/lib"};
    const auto executable = make_bundle(dir.path(), recipe);
    fs::remove_all(dir.path() / "Probe.app/Contents/Resources");
    const auto r = launch(executable);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string unresolved = executable.parent_path().string() + "/../Resources/";
    EXPECT_EQ(value_of(r.out, "app.dir"), unresolved);
    EXPECT_EQ(value_of(r.out, "probe.marker"), unresolved + "/lib");
}

// --- The launch record in the built image ------------------------------------------------------

// Copies the template with `record` written over the start of its reserved area, as a broken
// packaging step might leave it.
fs::path with_raw_record(const fs::path& bundle_executable, const std::string& record) {
    const std::string area(kestrova::reserved_area_size, '_');
    std::string templ = read_file(Artefacts::launcher_template());
    const auto at = templ.find(area + '\0');
    if (at == std::string::npos) throw std::runtime_error("template has no reserved area");
    templ.replace(at, record.size(), record);
    const fs::path damaged = bundle_executable.parent_path() / "Damaged";
    std::ofstream(damaged, std::ios::binary) << templ;
    fs::permissions(damaged, fs::perms::owner_all);
    return damaged;
}

TEST(LaunchRecord, DamagedRecordsStopWithOneLine) {
    TempDir dir;
    const auto executable = make_bundle(dir.path(), {});
    const std::string header("\0\0\x20\0\0", 5);
    struct Case {
        std::string record;
        const char* what;
    };
    const Case cases[] = {
        {header + std::string(kestrova::reserved_area_size - 5, 'M'), "the main class name"},
        {header + std::string("probe.Probe\0\xFF"
                              "one\0",
                              17),
         "a JVM option"},
        {header + std::string("probe.Probe\0\0\x03"
                              "a\0",
                              16),
         "an argument"},
    };
    for (const auto& c : cases) {
        const auto r = launch(with_raw_record(executable, c.record));
        EXPECT_EQ(r.exit_status, 1) << c.what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(std::string("The launch record is damaged: ") + c.what), std::string::npos) << r.err;
    }
}

TEST(LaunchRecord, ZeroOptionsStillCreateTheJvmWithTheCommandOption) {
    TempDir dir;
    const auto executable = make_bundle(dir.path(), {});
    // No class path option: the JVM's default class path is the working directory, which gets the
    // classes of both JARs.
    const std::string record("\0\0\x20\0\0probe.Probe\0\0\0", 19);
    const auto launcher = with_raw_record(executable, record);
    for (const auto& jar : {Artefacts::probe_jar(), Artefacts::support_jar()}) {
        const auto unpacked =
            run_process({(Artefacts::java_home() / "bin/jar").string(), "xf", jar.string()},
                        {.env = {}, .timeout = std::chrono::seconds(60), .cwd = dir.path(), .stderr_fd = std::nullopt});
        ASSERT_EQ(unpacked.exit_status, 0) << unpacked.err;
    }
    ProcessOptions options;
    options.cwd = dir.path();
    const auto r = launch(launcher, {"z"}, options);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "sun.java.command"), "probe.Probe z");
    EXPECT_EQ(value_of(r.out, "app.dir"), "null");
}

// The smallest stack the packaging tool accepts runs an application, its uncaught exception
// included (the stack trace and the report go deeper than a plain run).
TEST(LaunchRecord, TheSmallestAcceptedStackRuns) {
    TempDir dir;
    BundleRecipe recipe;
    recipe.flags = {"--console"};
    recipe.stack_size = 136u * 1024;
    const auto r = launch(make_bundle(dir.path(), recipe), {"--throw", "deep enough"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("java.lang.IllegalStateException: deep enough"), std::string::npos) << r.err;
}

TEST(LaunchRecord, RecordedStackSizeIsTheJvmThreadsStack) {
    TempDir dir;
    auto depth_with = [&](std::uint32_t stack, const std::string& name) {
        BundleRecipe recipe;
        recipe.name = name;
        recipe.stack_size = stack;
        const auto r = launch(make_bundle(dir.path(), recipe), {"--depth"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return std::stol(value_of(r.out, "depth").value_or("0"));
    };
    const long small = depth_with(1u << 20, "Small");
    const long large = depth_with(16u << 20, "Large");
    ASSERT_GT(small, 0);
    // Sixteen times the stack gives many times the depth; the JVM's own reserved zones take a fixed
    // share off each.
    EXPECT_GT(large, small * 6) << "1 MiB: " << small << ", 16 MiB: " << large;
}

// A stack the system cannot give (here: 4 GiB under a 2 GiB address-space limit) must end the
// launch with a message naming the size, not leave the main thread parked forever.
TEST(LaunchRecord, JvmThreadThatCannotBeCreatedEndsTheLaunch) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves its shadow memory beyond any address-space limit";
#endif
    TempDir dir;
    BundleRecipe recipe;
    recipe.name = "HugeStack";
    recipe.stack_size = 4294967295u;
    const auto executable = make_bundle(dir.path(), recipe);
    const auto r =
        run_process({"/bin/sh", "-c", "ulimit -v 2097152 && exec \"$0\"", executable.string()},
                    {.env = {}, .timeout = std::chrono::seconds(60), .cwd = std::nullopt, .stderr_fd = std::nullopt});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("Could not start the JVM thread with a stack of 4294967295 bytes ("), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("package the application with another --stack-size."), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "the JVM must not have run";
}

// LD_LIBRARY_PATH naming another runtime's libjvm does not win over the bundle's own runtime: the
// other runtime here is the same JDK under another name (links to its files, its own copy of
// libjvm), and the JVM reports as java.home the runtime its libjvm came from.
TEST(LaunchRecord, LibraryPathNeverOutranksTheBundlesRuntime) {
    TempDir dir;
    const fs::path executable = make_bundle(dir.path(), {});
    const fs::path other = dir.path() / "other-runtime";
    const fs::path jdk = fs::canonical(Artefacts::java_home());
    for (auto it = fs::recursive_directory_iterator(jdk); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path copy = other / it->path().lexically_relative(jdk);
        if (it->is_directory() && !it->is_symlink())
            fs::create_directories(copy);
        else
            fs::create_symlink(it->path(), copy);
    }
    const fs::path other_jvm = other / "lib" / "server" / "libjvm.so";
    fs::remove(other_jvm);
    fs::copy_file(jdk / "lib" / "server" / "libjvm.so", other_jvm);

    ProcessOptions options;
    options.env["LD_LIBRARY_PATH"] = (other / "lib" / "server").string();
    const auto r = launch(executable, {}, options);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(value_of(r.out, "java.home"), jdk.string());
}

TEST(LaunchRecord, ExecutableExportsExactlyTheLaunchersNames) {
    const auto r = run_process(
        {"/usr/bin/nm", "-D", "--defined-only", "--format=just-symbols", Artefacts::launcher_template().string()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        // Symbols the C library's own objects put into every executable's table, and the
        // sanitizer runtimes' in a sanitizer build.
        if (line.find('@') != std::string::npos) continue;
        if (line.starts_with("__asan") || line.starts_with("__ubsan") || line.starts_with("__sanitizer") ||
            line.starts_with("__lsan"))
            continue;
        names.push_back(line);
    }
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {
        "JLI_MemAlloc",
        "Java_tessavane_kestrova_updater_OnlineUpdater_nCheckForUpdates",
        "_ZN8kestrova10show_alertEPKcS1_",
        "_ZN8kestrova13setup_sparkleEbb",
        "_ZN8kestrova17check_for_updatesEv",
        "_ZN8kestrova20run_cocoa_event_loopEv",
        "_ZN8kestrova28setup_finish_launch_observerEb",
        "_ZN8kestrova4bailEPKcz",
        "_ZN8kestrova4dataE",
        "main",
        "methods",
        "methods_size",
    };
    EXPECT_EQ(names, expected);
}

}  // namespace
}  // namespace kestrova::testing
