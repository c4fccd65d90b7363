// The per-application file that keeps the time of the last update check.
#include "updater/last_check_store.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace kestrova::updater {
namespace {

using kestrova::testing::TempDir;

EnvironmentLookup environment(std::map<std::string, std::string, std::less<>> values) {
    return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
        const auto found = values.find(name);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    };
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> names_in(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(LastCheckFile, PlacesTheFileUnderTheStateDirectory) {
    EXPECT_EQ(last_check_file(environment({{"XDG_STATE_HOME", "/s"}, {"HOME", "/h"}}), "com.example.app"),
              std::filesystem::path("/s/kestrova-updater/com.example.app.last-check"));
    EXPECT_EQ(last_check_file(environment({{"HOME", "/h"}}), "com.example.app"),
              std::filesystem::path("/h/.local/state/kestrova-updater/com.example.app.last-check"));
    // The XDG rules make a relative or empty value invalid.
    EXPECT_EQ(last_check_file(environment({{"XDG_STATE_HOME", "state"}, {"HOME", "/h"}}), "a"),
              std::filesystem::path("/h/.local/state/kestrova-updater/a.last-check"));
    EXPECT_EQ(last_check_file(environment({{"XDG_STATE_HOME", ""}, {"HOME", "/h"}}), "a"),
              std::filesystem::path("/h/.local/state/kestrova-updater/a.last-check"));
}

TEST(LastCheckFile, NothingWithoutADirectoryOrAUsableIdentifier) {
    EXPECT_EQ(last_check_file(environment({}), "com.example.app"), std::nullopt);
    EXPECT_EQ(last_check_file(environment({{"HOME", "relative"}}), "com.example.app"), std::nullopt);
    const std::string_view bad_identifiers[] = {"", ".", "..", "../escape", "a/b", std::string_view("a\0b", 3)};
    for (const std::string_view bad : bad_identifiers) {
        EXPECT_EQ(last_check_file(environment({{"HOME", "/h"}}), bad), std::nullopt) << bad;
    }
}

TEST(AbsoluteTimeText, RoundTripsExactly) {
    for (const double time : {0.0, 1.0, 726842400.0, 726842400.123456789, -3600.25, 1e15 + 0.5}) {
        const std::string text = format_absolute_time(time);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;  // decimal, not scientific
        EXPECT_EQ(parse_absolute_time(text), time) << text;
    }
}

TEST(AbsoluteTimeText, RefusesAnythingButOneNumber) {
    EXPECT_EQ(parse_absolute_time(" 42.5\n"), 42.5);
    for (const std::string_view bad : {"", "\n", "yesterday", "42 43", "42x", "nan", "inf", "0x1A"}) {
        EXPECT_EQ(parse_absolute_time(bad), std::nullopt) << bad;
    }
}

TEST(LastCheckStore, WriteThenReadCreatingDirectories) {
    TempDir dir;
    const auto file = dir.path() / "a" / "b" / "app.last-check";
    EXPECT_EQ(read_last_check(file), std::nullopt);
    ASSERT_NO_THROW(write_last_check(file, 726842400.125));
    EXPECT_EQ(read_last_check(file), 726842400.125);
    EXPECT_EQ(contents(file), "726842400.125\n");
}

TEST(LastCheckStore, ReplacesTheFileAndLeavesNoTemporaryBehind) {
    TempDir dir;
    const auto file = dir.path() / "app.last-check";
    ASSERT_NO_THROW(write_last_check(file, 1));
    ASSERT_NO_THROW(write_last_check(file, 2));
    EXPECT_EQ(read_last_check(file), 2.0);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"app.last-check"});
}

TEST(LastCheckStore, ReplacesByRenameSoAReaderOfTheOldFileKeepsItsContent) {
    TempDir dir;
    const auto file = dir.path() / "app.last-check";
    ASSERT_NO_THROW(write_last_check(file, 1));
    std::ifstream old_reader(file);  // holds the old file open, as a concurrent reader would
    ASSERT_NO_THROW(write_last_check(file, 2));
    std::string old_text;
    std::getline(old_reader, old_text);
    EXPECT_EQ(old_text, "1");  // a write in place would have shown "2" or a torn value
    EXPECT_EQ(read_last_check(file), 2.0);
}

TEST(LastCheckStore, FailedWriteKeepsTheOldValueAndCleansUp) {
    TempDir dir;
    // A directory where the file should be: the rename must fail.
    const auto file = dir.path() / "app.last-check";
    std::filesystem::create_directories(file / "occupied");
    EXPECT_THROW(write_last_check(file, 5), LastCheckError);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"app.last-check"});
    EXPECT_TRUE(std::filesystem::is_directory(file));
}

TEST(LastCheckStore, UncreatableDirectoryIsALastCheckError) {
    TempDir dir;
    const auto blocker = dir.path() / "plain-file";
    { std::ofstream(blocker) << "x"; }
    EXPECT_THROW(write_last_check(blocker / "sub" / "app.last-check", 5), LastCheckError);
}

// A named pipe where the file belongs is never opened for reading (that would wait for a writer
// forever): it counts as never checked, and the caller hears why.
TEST(LastCheckStore, ANamedPipeIsRefusedWithoutWaiting) {
    TempDir dir;
    const auto file = dir.path() / "app.last-check";
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    std::string refused;
    auto reading = std::async(std::launch::async, [&] { return read_last_check(file, &refused); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Free the reader that is stuck, so that the test ends.
        const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        reading.wait();
        if (writer >= 0) ::close(writer);
        FAIL() << "reading a named pipe waited for a writer";
    }
    EXPECT_EQ(reading.get(), std::nullopt);
    EXPECT_EQ(refused, file.string() + " is not a regular file");
    EXPECT_NO_THROW(write_last_check(file, 7));  // the next check's time replaces the pipe
    EXPECT_EQ(read_last_check(file), 7.0);
}

TEST(LastCheckStore, UnreadableContentCountsAsNeverChecked) {
    TempDir dir;
    const auto file = dir.path() / "app.last-check";
    for (const std::string& text : {std::string(""), std::string("soon"), std::string("1 2"), std::string(100, '1')}) {
        { std::ofstream(file, std::ios::trunc) << text; }
        EXPECT_EQ(read_last_check(file), std::nullopt) << text;
    }
    EXPECT_EQ(read_last_check(dir.path()), std::nullopt);  // a directory
}

TEST(SkippedVersionStore, LivesBesideTheLastCheckAndRoundTrips) {
    TempDir dir;
    const auto file = skipped_version_file(dir.path() / "state" / "app.id.last-check");
    EXPECT_EQ(file, dir.path() / "state" / "app.id.skipped-version");
    write_skipped_version(file, "2.0 beta");
    EXPECT_EQ(read_skipped_version(file), "2.0 beta");
    write_skipped_version(file, std::string(max_skipped_version_bytes, '9'));
    EXPECT_EQ(read_skipped_version(file), std::string(max_skipped_version_bytes, '9'));
}

TEST(SkippedVersionStore, WhatIsNotOneVersionOnOneLineIsNeitherWrittenNorRead) {
    TempDir dir;
    const auto file = dir.path() / "app.skipped-version";
    for (const std::string& version : {std::string(""), std::string("2\n3"), std::string("2\0", 2),
                                       std::string(max_skipped_version_bytes + 1, '9')}) {
        EXPECT_THROW(write_skipped_version(file, version), LastCheckError) << version;
        EXPECT_FALSE(std::filesystem::exists(file)) << version;
    }
    for (const std::string& text : {std::string(""), std::string("\n"), std::string("200"), std::string("2\n3\n"),
                                    std::string(max_skipped_version_bytes + 1, '9') + "\n"}) {
        { std::ofstream(file, std::ios::trunc) << text; }
        EXPECT_EQ(read_skipped_version(file), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace kestrova::updater
