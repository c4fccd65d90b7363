#include "core/class_data.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/class_data_cache.h"
#include "tests/support/temp_dir.h"

namespace kestrova::class_data {
namespace {

TEST(ClassDataChoice, VariableThenInfoKeyThenGuiOnly) {
    struct Case {
        bool console;
        std::optional<std::string_view> info;
        std::optional<std::string_view> variable;
        bool expected;
    };
    const Case cases[] = {
        {false, std::nullopt, std::nullopt, true}, {true, std::nullopt, std::nullopt, false},
        {false, "NO", std::nullopt, false},        {true, "YES", std::nullopt, true},
        {false, std::nullopt, "1", false},         {false, std::nullopt, "0", true},
        {false, std::nullopt, "", true},           {true, "YES", "yes", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wanted(c.console, c.info, c.variable), c.expected)
            << c.console << " " << c.info.value_or("-") << " " << c.variable.value_or("-");
}

// A name that does not say exactly a size for exactly this key is no archive of it.
TEST(ClassDataNames, OnlyTheKeysOwnCompleteArchiveNameGivesASize) {
    const std::string key = key_of(std::vector<std::string>{"a"});
    EXPECT_EQ(archive_size(archive_name(key, 12345), key), 12345u);
    for (const std::string& name : {key + ".1.dumping", key + "-.jsa", key + "-12x.jsa", key + "-12.jsa.tmp",
                                    key + "12.jsa", (key[0] == 'f' ? "e" : "f") + key.substr(1) + "-12.jsa"})
        EXPECT_EQ(archive_size(name, key), std::nullopt) << name;
}

TEST(ClassDataKey, FactsAreSeparatedAndOrdered) {
    EXPECT_NE(key_of(std::vector<std::string>{"ab", "c"}), key_of(std::vector<std::string>{"a", "bc"}));
    EXPECT_NE(key_of(std::vector<std::string>{"a", "b"}), key_of(std::vector<std::string>{"b", "a"}));
}

TEST(ClassDataOptions, TheBundlesOwnSharingOptionsWinAndTheCommandLineIsNoPartOfTheKey) {
    EXPECT_TRUE(options_decide_sharing(std::vector<std::string>{"-Xmx1g", "-Xshare:off"}));
    EXPECT_TRUE(options_decide_sharing(std::vector<std::string>{"-javaagent:a.jar"}));
    EXPECT_FALSE(options_decide_sharing(std::vector<std::string>{"-Xmx1g", "-Dx=-Xshare:off"}));
    EXPECT_EQ(keyed_options(std::vector<std::string>{"-Xmx1g", "-Dsun.java.command=M a"}),
              std::vector<std::string>{"-Xmx1g"});
    EXPECT_EQ(class_path(std::vector<std::string>{"-Djava.class.path=x", "-Djava.class.path=/a.jar::/b.jar"}),
              (std::vector<std::string>{"/a.jar", "/b.jar"}));
}

// The files the JVM checks are those of its own dump log, the manifests' Class-Path included.
TEST(ClassDataCheckedFiles, TheDumpLogsApplicationEntriesAndMissingClassPathEntries) {
    const std::string log =
        "app loader class path=/b/main.jar\n"
        "opened: /b/main.jar\n"
        "found Class-Path: dep.jar gone.jar\n"
        "non-existent Class-Path entry /b/gone.jar\n"
        "add boot shared path (jrt) /jdk/lib/modules\n"
        "add app shared path (jar) /b/main.jar\n"
        "add app shared path (jar) /b/dep.jar\n"
        "add app shared path (jar) /b/dep.jar";
    EXPECT_EQ(checked_files(log), (std::vector<std::string>{"/b/gone.jar", "/b/main.jar", "/b/dep.jar"}));
}

std::string facts_now(const std::string& path) { return path == "/b/dep.jar" ? "2" : path == "/b/gone.jar" ? "" : "1"; }
std::string facts_when_made(const std::string& path) { return path == "/b/gone.jar" ? "" : "1"; }

TEST(ClassDataCheckedFiles, ARecordHoldsOnlyWhileEveryFileIsAsItWas) {
    const std::vector<std::string> paths = {"/b/main.jar", "/b/dep.jar", "/b/gone.jar"};
    const auto record = checked_files_record(paths, facts_when_made);
    ASSERT_TRUE(record);
    EXPECT_TRUE(checked_files_unchanged(*record, facts_when_made));
    EXPECT_FALSE(checked_files_unchanged(*record, facts_now)) << "a JAR reached through Class-Path changed";
    EXPECT_FALSE(checked_files_unchanged(record->substr(0, record->size() - 1), facts_when_made)) << "cut short";
    EXPECT_FALSE(checked_files_record(std::vector<std::string>{"/b/a\nb.jar"}, facts_when_made));
}

// cp -p and rsync --inplace -t put size and modification time back; the facts still change.
TEST(ClassDataFacts, AFileRewrittenInPlaceWithItsTimePutBackHasOtherFacts) {
    kestrova::testing::TempDir dir;
    const std::string jar = (dir.path() / "a.jar").string();
    std::ofstream(jar) << "old classes";
    struct stat before {};
    ASSERT_EQ(stat(jar.c_str(), &before), 0);
    const std::string facts = kestrova::platform::file_facts(jar);
    // File times advance with the kernel's tick, not at every call.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream(jar, std::ios::in | std::ios::out) << "new";
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, jar.c_str(), times, 0), 0);
    EXPECT_NE(kestrova::platform::file_facts(jar), facts);
}

}  // namespace
}  // namespace kestrova::class_data
