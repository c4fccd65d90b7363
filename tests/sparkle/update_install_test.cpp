// The install steps on real files: archives built with libarchive, bundles on disk, the swap with
// renameat2. Every failure leaves the installed bundle byte for byte as it was.
#include "sparkle/update_install.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "sparkle/ed25519.h"
#include "tests/sparkle/install_fixtures.h"
#include "tests/support/temp_dir.h"

namespace kestrova::sparkle {
namespace {

namespace fs = std::filesystem;
namespace ed = ed25519;
using namespace testing::install;

class UpdateInstall : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(installed_ / "Contents/Info.plist", plist("app.demo", "1.0"));
        write_file(installed_ / "Contents/MacOS/Demo", "old launcher", 0755);
        fs::create_directories(outside_);
        before_ = snapshot(installed_);
    }
    void expect_installed_unchanged() const {
        EXPECT_EQ(snapshot(installed_), before_);
        EXPECT_TRUE(fs::is_empty(outside_)) << "something was written outside";
    }
    std::vector<std::string> parent_listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    kestrova::testing::TempDir dir_;
    fs::path installed_ = dir_.path() / "Demo.app";
    fs::path outside_ = dir_.path() / "outside";
    fs::path archive_ = dir_.path() / "outside-archive.tar.gz";
    std::map<std::string, std::string> before_;
    InfoDictionary running_{{"CFBundleIdentifier", "app.demo"}, {"CFBundleVersion", "1.0"}};
};

TEST_F(UpdateInstall, VerifiesLengthKeyAndSignature) {
    write_file(archive_, "the archive's bytes");
    const ed::Seed seed = ed::generate_seed();
    const std::string key = ed::encode_base64(ed::public_key_of(seed));
    const ed::MappedFile bytes(archive_);
    const std::string good = ed::encode_base64(ed::sign(seed, bytes.bytes()));
    const std::string foreign = ed::encode_base64(ed::sign(ed::generate_seed(), bytes.bytes()));
    const std::uint64_t size = fs::file_size(archive_);
    EXPECT_NO_THROW(verify_update_archive(archive_, key, good, size));

    const struct {
        const char* name;
        std::optional<std::string> key, signature;
        std::optional<std::uint64_t> length;
        const char* contains;
    } cases[] = {
        {"body shorter than announced", key, good, size + 1, "announced"},
        {"body longer than announced", key, good, size - 1, "announced"},
        {"no length", key, good, std::nullopt, "no length"},
        {"no key", std::nullopt, good, size, "no SUPublicEDKey"},
        {"key not base64 of 32 bytes", "abcd", good, size, "SUPublicEDKey is not"},
        {"no signature", key, std::nullopt, size, "no signature"},
        {"signature not base64 of 64 bytes", key, key, size, "not base64 of 64"},
        {"signature by another key", key, foreign, size, "does not match"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            verify_update_archive(archive_, c.key, c.signature, c.length);
            ADD_FAILURE() << "accepted";
        } catch (const InstallError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.contains), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos);
        }
    }
    write_file(archive_, "the archive's bytez");  // same length, one byte changed
    EXPECT_THROW(verify_update_archive(archive_, key, good, size), InstallError);
}

TEST_F(UpdateInstall, ExtractsChecksAndSwapsInTheNewBundle) {
    write_archive(archive_, bundle_entries("1.1"));
    {
        StagingArea staging(installed_);
        staging.extract(archive_);
        check_staged_bundle(staging.staged_bundle(), running_, "1.1", read_plist);
        staging.swap_into_place();
    }
    EXPECT_EQ(read_file(installed_ / "Contents/MacOS/Demo"), "new launcher");
    EXPECT_EQ(fs::read_symlink(installed_ / "Contents/lib"), "MacOS");
    EXPECT_EQ(fs::status(installed_ / "Contents/MacOS/Demo").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(parent_listing(), (std::vector<std::string>{"Demo.app", "outside", "outside-archive.tar.gz"}))
        << "the old copy and the staging directory are gone";
}

TEST_F(UpdateInstall, RefusesHostileArchivesWithoutTouchingTheInstalledBundle) {
    ::mkfifo((dir_.path() / "fifo-template").c_str(), 0600);
    auto with = [](std::vector<Entry> extra) {
        auto entries = bundle_entries("1.1");
        entries.insert(entries.end(), extra.begin(), extra.end());
        return entries;
    };
    const std::string out = outside_.string();
    const struct {
        const char* name;
        std::vector<Entry> entries;
        const char* contains;
    } cases[] = {
        {"absolute path", with({{out + "/x", AE_IFREG, "x"}}), "absolute path"},
        {"dot-dot at the top", with({{"../outside/x", AE_IFREG, "x"}}), "\"..\""},
        {"dot-dot inside", with({{"Demo.app/../outside/x", AE_IFREG, "x"}}), "\"..\""},
        {"write through a link", with({{"Demo.app/out", AE_IFLNK, out}, {"Demo.app/out/x", AE_IFREG, "x"}}),
         "through a link"},
        {"replace the link's target", with({{"Demo.app/Contents/lib/x", AE_IFREG, "x"}}), "through a link"},
        {"hard link", with({{"Demo.app/h", AE_IFREG, "Demo.app/Contents/Info.plist", 0644, true}}), "hard link"},
        {"character device", with({{"Demo.app/dev", AE_IFCHR, ""}}), "character device"},
        {"named pipe", with({{"Demo.app/fifo", AE_IFIFO, ""}}), "named pipe"},
        {"a second bundle", with({{"Other.app/", AE_IFDIR, "", 0755}}), "not inside Demo.app"},
        {"a stray top file", with({{"README", AE_IFREG, "x"}}), "not inside Demo.app"},
        {"another bundle's name", {{"Other.app/", AE_IFDIR, "", 0755}}, "not inside Demo.app"},
        {"the same entry twice", with({{"Demo.app/Contents/MacOS/Demo", AE_IFREG, "again", 0755}}), "twice"},
        {"top is a file", {{"Demo.app", AE_IFREG, "x"}}, "is not a directory"},
        {"top is a link", {{"Demo.app", AE_IFLNK, out}}, "is not a directory"},
        {"empty archive", {}, "holds no Demo.app"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_archive(archive_, c.entries);
        {
            StagingArea staging(installed_);
            try {
                staging.extract(archive_);
                ADD_FAILURE() << "extracted";
            } catch (const InstallError& e) {
                EXPECT_NE(std::string(e.what()).find(c.contains), std::string::npos) << e.what();
            }
        }
        expect_installed_unchanged();
        EXPECT_EQ(parent_listing(), (std::vector<std::string>{"Demo.app", "fifo-template", "outside",
                                                              "outside-archive.tar.gz"}));
    }
    write_file(archive_, "not an archive at all");
    StagingArea staging(installed_);
    EXPECT_THROW(staging.extract(archive_), InstallError);
    expect_installed_unchanged();
}

TEST_F(UpdateInstall, RefusesAStagedBundleThatIsNotTheUpdate) {
    const struct {
        const char* name;
        std::vector<Entry> entries;
        const char* item_version;
        const char* contains;
    } cases[] = {
        {"another application", bundle_entries("1.1", "app.other"), "1.1", "not this application"},
        {"not the item's version", bundle_entries("1.2"), "1.1", "where the feed announced"},
        {"the running version", bundle_entries("1.0"), "1.0", "not newer"},
        {"an older version", bundle_entries("0.9"), "0.9", "not newer"},
        {"no launcher", {{"Demo.app/", AE_IFDIR, "", 0755}, {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")}},
         "1.1", "launcher"},
        {"launcher not executable",
         {{"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")}, {"Demo.app/Contents/MacOS/Demo", AE_IFREG, "x", 0644},
          {"Demo.app/", AE_IFDIR, "", 0755}},
         "1.1", "launcher"},
        {"launcher a link",
         {{"Demo.app/", AE_IFDIR, "", 0755}, {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")},
          {"Demo.app/Contents/MacOS/Demo", AE_IFLNK, "/bin/sh"}},
         "1.1", "launcher"},
        {"launcher name escapes", {{"Demo.app/", AE_IFDIR, "", 0755},
          {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1", "../../../bin/sh")}}, "1.1", "launcher"},
        {"no Info.plist", {{"Demo.app/", AE_IFDIR, "", 0755}, {"Demo.app/Contents/MacOS/Demo", AE_IFREG, "x", 0755}}, "1.1",
         "Info.plist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_archive(archive_, c.entries);
        {
            StagingArea staging(installed_);
            staging.extract(archive_);
            try {
                check_staged_bundle(staging.staged_bundle(), running_, c.item_version, read_plist);
                ADD_FAILURE() << "accepted";
            } catch (const InstallError& e) {
                EXPECT_NE(std::string(e.what()).find(c.contains), std::string::npos) << e.what();
            }
        }
        expect_installed_unchanged();
    }
}

TEST_F(UpdateInstall, CleansWhatACrashLeftButNotAnInstallAtWork) {
    // A crash before the swap leaves a staged bundle, one after it the old copy; both unlocked.
    for (const char* name : {".Demo.app.kestrova-update-aaaaaa", ".Demo.app.kestrova-update-bbbbbb"}) {
        write_file(dir_.path() / name / "Demo.app/Contents/MacOS/Demo", "left", 0755);
        ::chmod((dir_.path() / name / "Demo.app/Contents/MacOS").c_str(), 0555);  // read-only, still removed
        ::chmod((dir_.path() / name).c_str(), 0700);                               // as mkdtemp made it
    }
    write_file(dir_.path() / ".Other.app.kestrova-update-cccccc" / "x", "another app's");
    fs::create_symlink(outside_, dir_.path() / ".Demo.app.kestrova-update-link");
    const StagingArea at_work(installed_);
    EXPECT_EQ(clean_install_leftovers(installed_), 2u);
    std::vector<std::string> kept{".Demo.app.kestrova-update-link", ".Other.app.kestrova-update-cccccc",
                                  at_work.path().filename().string(), "Demo.app", "outside"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(parent_listing(), kept);
    expect_installed_unchanged();
}

TEST_F(UpdateInstall, CanReplaceOnlyAWritableBundleInAWritableDirectory) {
    EXPECT_TRUE(can_replace(installed_));
    if (::geteuid() == 0) GTEST_SKIP() << "root may write anything";
    ::chmod(dir_.path().c_str(), 0555);
    EXPECT_FALSE(can_replace(installed_));
    ::chmod(dir_.path().c_str(), 0755);
}

}  // namespace
}  // namespace kestrova::sparkle
