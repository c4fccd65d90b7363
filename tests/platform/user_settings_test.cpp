// Reading the user's settings file: only a regular file is read, and nothing put in its place can
// hold the start.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "platform/user_settings.h"
#include "tests/support/temp_dir.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

TEST(UserFile, WhatIsNoRegularFileIsRefusedWithoutWaitingOnIt) {
    TempDir dir;
    const struct {
        const char* name;
        void (*make)(const fs::path&);
    } cases[] = {
        {"named pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }},
        {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir.path() / c.name;
        c.make(path);
        // A read that blocks must fail the test, not hang it: the thread is left to the process's end.
        std::packaged_task<platform::UserFile()> read([path] { return platform::read_user_file(path.string()); });
        auto result = read.get_future();
        std::thread(std::move(read)).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the read blocked";
        const auto file = result.get();
        EXPECT_TRUE(file.exists);
        EXPECT_TRUE(file.not_regular);
        EXPECT_TRUE(file.text.empty());
    }
}

}  // namespace
}  // namespace kestrova::testing
