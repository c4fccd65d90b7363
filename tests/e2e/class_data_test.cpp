// End-to-end: the class-data archive a bundle keeps for its user. Whatever state the cache is in,
// a start prints what it prints without an archive, ends with the same status, and keeps the
// runtime's own sharing ("sharing" in java.vm.info), which a bad archive named to the JVM would
// turn off, or crash the JVM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/bundle.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The files of the one bundle slot under `cache` whose names end with `suffix`.
std::vector<fs::path> files_in_slot(const fs::path& cache, const std::string& suffix) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(cache / "kestrova" / "class-data", ec))
        if (entry.path().filename().string().ends_with(suffix)) found.push_back(entry.path());
    return found;
}

bool appears(const fs::path& cache, const std::string& suffix, std::chrono::seconds within = 90s) {
    for (auto end = std::chrono::steady_clock::now() + within; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(100ms))
        if (!files_in_slot(cache, suffix).empty()) return true;
    return false;
}

// The processes at work for `cache` (a helper, or the dump it runs), by the cache's path in their
// arguments, each with whether it has a child.
std::vector<std::pair<pid_t, bool>> processes_for(const fs::path& cache) {
    std::vector<std::pair<pid_t, bool>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string text{std::istreambuf_iterator<char>(cmdline), {}};
        if (text.find(cache.string() + "/kestrova/") == std::string::npos) continue;
        const std::string pid = entry.path().filename().string();
        std::ifstream children(entry.path() / "task" / pid / "children");
        std::string child;
        found.emplace_back(static_cast<pid_t>(std::stoi(pid)), static_cast<bool>(children >> child));
    }
    return found;
}

// The helper making an archive for `cache`, once its dump is under way: the process whose arguments
// name the cache and which has a child. 0 when none is seen within a minute.
pid_t dumping_helper(const fs::path& cache) {
    for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        for (const auto& [pid, has_child] : processes_for(cache))
            if (has_child) return pid;
    return 0;
}

// Whether every helper for `cache` has done its work within a minute: each removes the class list
// its start left, whether it made the archive or kept out, and then ends.
bool helpers_done(const fs::path& cache) {
    for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(50ms))
        if (files_in_slot(cache, ".classlist").empty() && processes_for(cache).empty()) return true;
    return false;
}

class ClassData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        BundleRecipe recipe;
        recipe.jvm_options = {"-Xlog:class+load=info:file=" + (dir_->path() / "loaded.txt").string()};
        executable_ = make_bundle(dir_->path(), recipe);
        // A complete archive, made as a user's first start makes it, and used by the next.
        const auto first = start(dir_->path() / "made");
        ASSERT_EQ(first.exit_status, 0) << first.err;
        ASSERT_TRUE(appears(dir_->path() / "made", ".jsa")) << "the first start made no archive";
        ASSERT_EQ(start(dir_->path() / "made").exit_status, 0);
        std::ifstream log(dir_->path() / "loaded.txt");
        const std::string loaded{std::istreambuf_iterator<char>(log), {}};
        ASSERT_NE(loaded.find("probe.Probe source: shared objects file"), std::string::npos)
            << "the second start did not take the application's classes from the archive";
    }
    static void TearDownTestSuite() { delete dir_; }

    static ProcessResult start(const fs::path& cache, const std::vector<std::string>& args = {},
                               std::map<std::string, std::optional<std::string>> env = {}) {
        ProcessOptions options;
        options.env = std::move(env);
        options.env["XDG_CACHE_HOME"] = cache.string();
        return launch(executable_, args, options);
    }
    // A cache that holds the archive the suite made.
    static fs::path cache_with_archive(const std::string& name) {
        const fs::path cache = dir_->path() / name;
        fs::copy(dir_->path() / "made", cache, fs::copy_options::recursive);
        return cache;
    }
    static fs::path archive_in(const fs::path& cache) { return files_in_slot(cache, ".jsa").at(0); }

    static inline TempDir* dir_ = nullptr;
    static inline fs::path executable_;
};

// Each row leaves the cache (or the bundle) in one state a user can meet, then starts.
struct CacheCase {
    const char* what;
    std::vector<std::string> args;
    std::function<fs::path(const std::string& name)> prepare;  // returns the cache to start with
    std::function<void()> undo = [] {};
};

TEST_F(ClassData, EveryStateOfTheCacheStartsAsWithoutAnArchive) {
    const fs::path jar = executable_.parent_path().parent_path() / "Resources" / "probe.jar";
    const auto jar_time = fs::last_write_time(jar);
    const std::vector<CacheCase> cases = {
        {"garbage of the archive's size in its place",
         {},
         [&](const std::string& name) {
             const fs::path cache = cache_with_archive(name);
             const auto size = fs::file_size(archive_in(cache));
             std::ofstream(archive_in(cache), std::ios::trunc) << std::string(size, 'x');
             return cache;
         }},
        {"an empty archive",
         {},
         [&](const std::string& name) {
             const fs::path cache = cache_with_archive(name);
             fs::resize_file(archive_in(cache), 0);
             return cache;
         }},
        {"an archive cut short behind its intact header",
         {},
         [&](const std::string& name) {
             const fs::path cache = cache_with_archive(name);
             fs::resize_file(archive_in(cache), fs::file_size(archive_in(cache)) / 2);
             return cache;
         }},
        {"a FIFO no one writes in the archive's place",
         {},
         [&](const std::string& name) {
             const fs::path cache = cache_with_archive(name);
             const fs::path archive = archive_in(cache);
             fs::remove(archive);
             EXPECT_EQ(mkfifo(archive.c_str(), 0600), 0);
             return cache;
         }},
        {"a JAR changed since the archive was made",
         {},
         [&](const std::string& name) {
             fs::last_write_time(jar, jar_time + 1h);
             return cache_with_archive(name);
         },
         [&] { fs::last_write_time(jar, jar_time); }},
        {"a cache that cannot be written (a file where the folder should be)",
         {},
         [&](const std::string& name) {
             std::ofstream(dir_->path() / name) << "not a folder";
             return dir_->path() / name;
         }},
        {"a bundle folder in the cache that another user owns",
         {},
         [&](const std::string& name) {
             const fs::path cache = cache_with_archive(name);
             const fs::path slot = archive_in(cache).parent_path();
             for (const auto& entry : fs::directory_iterator(slot)) fs::remove(entry.path());
             EXPECT_EQ(chown(slot.c_str(), 65534, 65534), 0);
             return cache;
         }},
        {"a first start that ends with System.exit",
         {"--exit", "3"},
         [&](const std::string& name) { return dir_->path() / name; }},
        {"a first start that ends with Runtime.halt",
         {"--halt", "4"},
         [&](const std::string& name) { return dir_->path() / name; }},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto expected = start(dir_->path() / "unused", c.args, {{"KESTROVA_NO_CLASS_DATA", "1"}});
        ASSERT_NE(value_of(expected.out, "java.vm.info").value_or("").find("sharing"), std::string::npos);
        const fs::path cache = c.prepare("case" + std::to_string(index++));
        const auto r = start(cache, c.args);
        c.undo();
        EXPECT_EQ(r.exit_status, expected.exit_status) << r.err;
        EXPECT_EQ(r.out, expected.out);
    }
    // Neither exit stopped the archive from being made once the start had ended.
    EXPECT_TRUE(appears(dir_->path() / "case7", ".jsa"));
    EXPECT_TRUE(appears(dir_->path() / "case8", ".jsa"));
    // Nothing was written into another user's folder.
    EXPECT_TRUE(files_in_slot(dir_->path() / "case6", "").size() == 1);
}

TEST_F(ClassData, ADumpKilledPartWayLeavesTheNextStartsUnharmedAndIsMadeAgain) {
    const fs::path cache = dir_->path() / "killed";
    const auto expected = start(cache, {}, {{"KESTROVA_NO_CLASS_DATA", "1"}});
    ASSERT_EQ(start(cache).out, expected.out);
    const pid_t helper = dumping_helper(cache);
    ASSERT_NE(helper, 0) << "no dump was seen at work";
    // The helper leads its own process group, with the dump.
    kill(-helper, SIGKILL);
    const auto after_kill = start(cache);
    EXPECT_EQ(after_kill.exit_status, 0) << after_kill.err;
    EXPECT_EQ(after_kill.out, expected.out);
    ASSERT_TRUE(appears(cache, ".jsa"));
    EXPECT_EQ(start(cache).out, expected.out);
}

TEST_F(ClassData, TwoFirstStartsAtOnceBothStartAndOneArchiveIsMade) {
    const fs::path cache = dir_->path() / "two";
    const auto expected = start(cache, {}, {{"KESTROVA_NO_CLASS_DATA", "1"}});
    ProcessOptions options;
    options.env["XDG_CACHE_HOME"] = cache.string();
    auto one = launch_in_background(executable_, {}, options);
    auto two = launch_in_background(executable_, {}, options);
    for (auto* copy : {&one, &two}) {
        const auto r = copy->wait(60s);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
    }
    ASSERT_TRUE(appears(cache, ".jsa"));
    // Both helpers had their turn: the one that kept out made nothing beside the other's archive.
    ASSERT_TRUE(helpers_done(cache)) << "a helper was still at work after a minute";
    EXPECT_EQ(files_in_slot(cache, ".jsa").size(), 1u);
    EXPECT_EQ(start(cache).out, expected.out);
}

// The inode of the slot's one archive under `cache`, 0 when there is none.
ino_t archive_inode(const fs::path& cache) {
    struct stat info {};
    const auto archives = files_in_slot(cache, ".jsa");
    return archives.size() == 1 && stat(archives[0].c_str(), &info) == 0 ? info.st_ino : 0;
}

// An archive that cannot serve the next start is made again, and until then no start names it:
// a JAR that only the main JAR's Class-Path reaches (which the JVM checks too), or the archive
// itself damaged.
TEST(ClassDataRemade, AnArchiveThatCannotServeIsNotNamedAndIsMadeAgain) {
    TempDir dir;
    const fs::path jar = dir.path() / "start.jar";
    fs::copy_file(Artefacts::probe_jar(), jar);
    std::ofstream(dir.path() / "m.mf") << "Class-Path: dep.jar\n";
    const auto updated = run_process({(Artefacts::java_home() / "bin" / "jar").string(), "--update", "--file",
                                      jar.string(), "--manifest", (dir.path() / "m.mf").string()});
    ASSERT_EQ(updated.exit_status, 0) << updated.err;
    fs::copy_file(Artefacts::fixture_helper_jar(), dir.path() / "dep.jar");
    BundleRecipe recipe;
    recipe.jars = {jar};
    recipe.jvm_options = {"-Xlog:class+load=info:file=" + (dir.path() / "loaded.txt").string()};
    const fs::path executable = make_bundle(dir.path() / "out", recipe);
    const fs::path dep = executable.parent_path().parent_path() / "Resources" / "dep.jar";
    ASSERT_TRUE(fs::exists(dep));

    const struct {
        const char* what;
        std::function<void(const fs::path& cache)> spoil;
    } cases[] = {
        {"a JAR reached through the manifest's Class-Path changed",
         [&](const fs::path&) { fs::last_write_time(dep, fs::last_write_time(dep) + 1h); }},
        {"the archive overwritten with garbage of its size",
         [&](const fs::path& cache) {
             const fs::path archive = files_in_slot(cache, ".jsa").at(0);
             std::ofstream(archive, std::ios::in | std::ios::out) << std::string(64, 'x');
         }},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProcessOptions options;
        options.env["XDG_CACHE_HOME"] = (dir.path() / ("cache" + std::to_string(index++))).string();
        const fs::path cache = options.env["XDG_CACHE_HOME"].value();
        ASSERT_EQ(launch(executable, {}, options).exit_status, 0);
        ASSERT_TRUE(appears(cache, ".jsa"));
        const ino_t first = archive_inode(cache);
        c.spoil(cache);
        const auto spoilt = launch(executable, {}, options);
        EXPECT_EQ(spoilt.exit_status, 0) << spoilt.err;
        EXPECT_NE(value_of(spoilt.out, "java.vm.info").value_or("").find("sharing"), std::string::npos)
            << "an archive the JVM refuses was named, which turns off the runtime's own as well";
        bool remade = false;
        for (auto end = std::chrono::steady_clock::now() + 60s; !remade && std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(100ms))
            remade = archive_inode(cache) != 0 && archive_inode(cache) != first;
        ASSERT_TRUE(remade) << "the archive was not made again";
        fs::remove(dir.path() / "loaded.txt");
        EXPECT_EQ(launch(executable, {}, options).exit_status, 0);
        std::ifstream log(dir.path() / "loaded.txt");
        const std::string loaded{std::istreambuf_iterator<char>(log), {}};
        EXPECT_NE(loaded.find("probe.Probe source: shared objects file"), std::string::npos);
    }
}

// A first start that loaded little (as a --version does) makes an archive that the next start
// outgrows: that start's classes make the archive again, once.
TEST(ClassDataRemade, AnArchiveFromAnUnrepresentativeFirstStartIsMadeAgainOnce) {
    TempDir dir;
    const fs::path executable = make_bundle(dir.path() / "out", BundleRecipe{});
    ProcessOptions options;
    options.env["XDG_CACHE_HOME"] = (dir.path() / "cache").string();
    const fs::path cache = dir.path() / "cache";
    ASSERT_EQ(launch(executable, {}, options).exit_status, 0);
    ASSERT_TRUE(appears(cache, ".jsa"));
    const ino_t small = archive_inode(cache);
    ASSERT_NE(small, 0u);
    const auto larger = launch(executable, {"--xml"}, options);
    ASSERT_EQ(larger.exit_status, 0) << larger.err;
    EXPECT_EQ(value_of(larger.out, "xml"), "c");
    bool remade = false;
    for (auto end = std::chrono::steady_clock::now() + 60s; !remade && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(100ms))
        remade = archive_inode(cache) != 0 && archive_inode(cache) != small;
    EXPECT_TRUE(remade) << "the archive of the first start was kept";
    EXPECT_TRUE(files_in_slot(cache, ".sample").empty()) << "asked again at a later start";
}

TEST_F(ClassData, TurnedOffByThePackagerOrForOneStartNothingIsKept) {
    BundleRecipe recipe;
    recipe.name = "Off";
    recipe.extra = {"--no-class-data"};
    const fs::path off = make_bundle(dir_->path() / "off", recipe);
    ProcessOptions options;
    options.env["XDG_CACHE_HOME"] = (dir_->path() / "packaged-off").string();
    EXPECT_EQ(launch(off, {}, options).exit_status, 0);
    EXPECT_EQ(start(dir_->path() / "once-off", {}, {{"KESTROVA_NO_CLASS_DATA", "1"}}).exit_status, 0);
    EXPECT_FALSE(fs::exists(dir_->path() / "packaged-off"));
    EXPECT_FALSE(fs::exists(dir_->path() / "once-off"));
}

}  // namespace
}  // namespace kestrova::testing
