// The install steps on real files: archives built with libarchive, bundles on disk, the swap with
// renameat2. Every failure leaves the installed bundle byte for byte as it was.
#include "updater/install_steps.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <functional>
#include <map>

#include "kestrova/info_plist_keys.h"
#include "protocol/appcast.h"
#include "protocol/delta.h"
#include "protocol/ed25519.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/install_fixtures.h"

namespace kestrova::updater {
namespace {

namespace fs = std::filesystem;
namespace ed = protocol::ed25519;
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
    InfoDictionary running_{{kestrova::info_keys::bundle_identifier, "app.demo"},
                            {kestrova::info_keys::bundle_version, "1.0"}};
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
    EXPECT_EQ(fs::status(installed_ / "Contents/MacOS/Demo").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
    EXPECT_EQ(parent_listing(), (std::vector<std::string>{"Demo.app", "outside", "outside-archive.tar.gz"}))
        << "the old copy and the staging directory are gone";
}

TEST_F(UpdateInstall, WhatIsUnpackedIsWhatWasVerifiedEvenWhenTheDownloadIsReplacedBetween) {
    const ed::Seed seed = ed::generate_seed();
    StagingArea staging(installed_);
    write_archive(staging.download_path(), bundle_entries("1.1"));
    const DownloadedArchive download(staging.download_path());
    const ed::MappedFile bytes(staging.download_path());
    verify_update_archive(download, ed::encode_base64(ed::public_key_of(seed)),
                          ed::encode_base64(ed::sign(seed, bytes.bytes())), download.size());
    write_archive(archive_, bundle_entries("1.2"));  // unsigned, put in its place after the check
    fs::rename(archive_, staging.download_path());
    staging.extract(download);
    EXPECT_EQ(read_plist(staging.staged_bundle() / "Contents/Info.plist")->at(kestrova::info_keys::bundle_version),
              "1.1");
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
        {"a file below a file", with({{"Demo.app/Contents/Info.plist/x", AE_IFREG, "x"}}),
         "unpacking \"Demo.app/Contents/Info.plist/x\" failed"},
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
        EXPECT_EQ(parent_listing(),
                  (std::vector<std::string>{"Demo.app", "fifo-template", "outside", "outside-archive.tar.gz"}));
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
        {"no launcher",
         {{"Demo.app/", AE_IFDIR, "", 0755}, {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")}},
         "1.1",
         "launcher"},
        {"launcher not executable",
         {{"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")},
          {"Demo.app/Contents/MacOS/Demo", AE_IFREG, "x", 0644},
          {"Demo.app/", AE_IFDIR, "", 0755}},
         "1.1",
         "launcher"},
        {"launcher a link",
         {{"Demo.app/", AE_IFDIR, "", 0755},
          {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1")},
          {"Demo.app/Contents/MacOS/Demo", AE_IFLNK, "/bin/sh"}},
         "1.1",
         "launcher"},
        {"launcher reached through a link out of the bundle",
         {{"Demo.app/", AE_IFDIR, "", 0755},
          {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1", "echo")},
          {"Demo.app/Contents/MacOS", AE_IFLNK, "/usr/bin"}},
         "1.1",
         "launcher"},
        {"launcher name escapes",
         {{"Demo.app/", AE_IFDIR, "", 0755},
          {"Demo.app/Contents/Info.plist", AE_IFREG, plist("app.demo", "1.1", "../../../bin/sh")}},
         "1.1",
         "launcher"},
        {"no Info.plist",
         {{"Demo.app/", AE_IFDIR, "", 0755}, {"Demo.app/Contents/MacOS/Demo", AE_IFREG, "x", 0755}},
         "1.1",
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
        ::chmod((dir_.path() / name).c_str(), 0700);                              // as mkdtemp made it
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

TEST_F(UpdateInstall, LeftOverAreasNotProvablyThisUsersOwnVerifiedTreeAreNeverInstalled) {
    const struct {
        const char* name;
        std::function<void(const fs::path& area)> tamper;
        bool left_alone;  // else taken, and refused at the swap
    } cases[] = {
        {"another user's", [](const fs::path& a) { ASSERT_EQ(::chown(a.c_str(), 65534, 65534), 0) << "not root"; },
         true},
        {"writable by all", [](const fs::path& a) { ::chmod(a.c_str(), 0777); }, true},
        {"a link to this user's area",
         [this](const fs::path& a) {
             fs::rename(a, dir_.path() / "elsewhere");
             fs::create_directory_symlink(dir_.path() / "elsewhere", a);
         },
         true},
        {"changed after it was marked ready",
         [](const fs::path& a) { write_file(a / "Demo.app/Contents/MacOS/Demo", "#!/bin/sh\necho planted\n", 0755); },
         false},
    };
    write_archive(archive_, bundle_entries("1.1"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string_view(c.name) == "another user's" && ::geteuid() != 0) continue;  // chown needs root
        fs::path area;
        {
            StagingArea staging(installed_);
            staging.extract(archive_);
            staging.mark_ready("1.1");
            staging.leave_on_disk();
            area = staging.path();
        }
        c.tamper(area);
        std::vector<std::string> notes;
        auto left = StagingArea::take_left(installed_, [&notes](std::string_view n) { notes.emplace_back(n); });
        if (c.left_alone) {
            EXPECT_TRUE(left.empty());
            ASSERT_EQ(notes.size(), 1u);
            EXPECT_NE(notes[0].find("Left alone " + area.string()), std::string::npos) << notes[0];
        } else {
            ASSERT_EQ(left.size(), 1u);
            EXPECT_THROW(left[0]->swap_into_place(), InstallError);
        }
        left.clear();
        expect_installed_unchanged();
        EXPECT_EQ(fs::exists(fs::symlink_status(area)), c.left_alone) << "another user's files are not removed";
        fs::remove_all(area);
        fs::remove_all(dir_.path() / "elsewhere");
    }
}

TEST_F(UpdateInstall, CleaningUpTakesNoAreaOfAnotherBundle) {
    const std::string long_name(240, 'a');
    const struct {
        std::string owner, other;
    } cases[] = {
        {long_name + "1.app", long_name + "2.app"},           // both beyond the full prefix's length
        {"Demo.app.kestrova-update-abcdef.app", "Demo.app"},  // one's prefix starts the other's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.owner);
        const fs::path owner = dir_.path() / c.owner, other = dir_.path() / c.other;
        fs::create_directories(owner);
        fs::create_directories(other);
        StagingArea(owner).leave_on_disk();
        EXPECT_EQ(clean_install_leftovers(other), 0u);
        EXPECT_EQ(clean_install_leftovers(owner), 1u);
        if (c.other != "Demo.app") fs::remove_all(other);
        fs::remove_all(owner);
    }
}

// On a small file system of its own (tmpfs, so root only): an announced length beyond its free space
// is refused before any download, and an archive unpacking to more than fits stops with room left.
TEST_F(UpdateInstall, AnUpdateTheDiskHasNoRoomForIsRefusedBeforeItFillsIt) {
    const fs::path small = dir_.path() / "small";
    fs::create_directories(small);
    if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const fs::path installed = small / "Demo.app";
    write_file(installed / "Contents/MacOS/Demo", "old launcher", 0755);
    EXPECT_NO_THROW(check_room_for_update(installed, 100'000));
    try {
        check_room_for_update(installed, 1'000'000'000'000);
        ADD_FAILURE() << "accepted";
    } catch (const InstallError& e) {
        EXPECT_NE(std::string(e.what()).find("MB there and try again"), std::string::npos) << e.what();
    }
    auto entries = bundle_entries("1.1");
    entries.push_back({"Demo.app/Contents/zeros", AE_IFREG, std::string(16 << 20, '\0')});
    write_archive(archive_, entries);
    {
        StagingArea staging(installed);
        try {
            staging.extract(archive_);
            ADD_FAILURE() << "extracted";
        } catch (const InstallError& e) {
            EXPECT_NE(std::string(e.what()).find("MB there and try again"), std::string::npos) << e.what();
        }
    }
    ::umount(small.c_str());
}

// The same small file system, for a delta: its download is counted alone before it comes (where
// the full archive's bound would refuse), and what it builds, every file of the new tree, the
// unchanged ones too as they are copied, before anything is written.
TEST_F(UpdateInstall, ADeltaIsRefusedForTheRoomItsDownloadAndItsTreeNeed) {
    const fs::path small = dir_.path() / "small";
    fs::create_directories(small);
    if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{small};
    // Incompressible, so that only the delta's patches and copies stay small.
    std::string noise(3 << 20, '\0');
    std::uint32_t x = 1;
    for (char& c : noise) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    const fs::path installed = small / "Demo.app";
    write_file(installed / "Contents/Info.plist", plist("app.demo", "1.0"));
    write_file(installed / "Contents/MacOS/Demo", "old launcher", 0755);
    write_file(installed / "Contents/Resources/runtime", noise);
    EXPECT_NO_THROW(check_room_for_delta_download(installed, 1'500'000));
    EXPECT_THROW(check_room_for_update(installed, 1'500'000), NoRoomError) << "four times 1.5 MB fit";

    const struct {
        const char* name;
        std::size_t added;  // bytes the new version adds beside the unchanged 3 MB
        bool fits;
    } cases[] = {{"fits", 1 << 20, true}, {"unchanged files count too", 3 << 20, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const kestrova::testing::TempDir work;
        const fs::path next = work.path() / "new/Demo.app";
        fs::create_directories(next.parent_path());
        fs::copy(installed, next, fs::copy_options::recursive);
        write_file(next / "Contents/Info.plist", plist("app.demo", "1.1"));
        write_file(next / "Contents/Resources/added", std::string(c.added, 'a'));
        protocol::make_delta(installed, next, "1.0", "1.1", work.path() / "delta");
        ASSERT_LT(fs::file_size(work.path() / "delta"), 100'000u);
        StagingArea staging(installed);
        if (c.fits) {
            EXPECT_NO_THROW(staging.build_from_delta(DownloadedArchive(work.path() / "delta"), "1.0"));
            EXPECT_EQ(read_file(staging.staged_bundle() / "Contents/Resources/runtime"), noise);
            continue;
        }
        try {
            staging.build_from_delta(DownloadedArchive(work.path() / "delta"), "1.0");
            ADD_FAILURE() << "built";
        } catch (const NoRoomError& e) {
            EXPECT_NE(std::string(e.what()).find("the files its delta builds and a reserve"), std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(fs::exists(staging.staged_bundle())) << "refused before anything was written";
    }
}

TEST_F(UpdateInstall, CanReplaceOnlyAWritableBundleInAWritableDirectory) {
    EXPECT_TRUE(can_replace(installed_));
    if (::geteuid() == 0) GTEST_SKIP() << "root may write anything";
    ::chmod(dir_.path().c_str(), 0555);
    EXPECT_FALSE(can_replace(installed_));
    ::chmod(dir_.path().c_str(), 0755);
}

// bindfs, a FUSE file system, refuses renameat2's RENAME_EXCHANGE (EINVAL), as vfat and many other
// FUSE and network file systems do. The install must refuse too, saying why, rather than fall back
// to two renames that a crash between would leave with no bundle at its path.
TEST(UpdateInstallWithoutExchange, IsRefusedAndLeavesTheBundleAsItWas) {
    if (::geteuid() != 0 || std::system("command -v bindfs >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and bindfs (package bindfs) to mount a FUSE file system";
    const kestrova::testing::TempDir backing;
    const kestrova::testing::TempDir mount_point;
    if (std::system(("bindfs '" + backing.path().string() + "' '" + mount_point.path().string() + "'").c_str()) != 0)
        GTEST_SKIP() << "bindfs could not mount (no /dev/fuse?)";
    struct Unmount {
        fs::path at;
        ~Unmount() {
            // Nothing left to do when neither can unmount: the temporary directory's removal fails.
            if (std::system(
                    ("fusermount -u '" + at.string() + "' 2>/dev/null || umount '" + at.string() + "'").c_str()) != 0) {
            }
        }
    } unmount{mount_point.path()};

    const fs::path installed = mount_point.path() / "Demo.app";
    write_file(installed / "Contents/Info.plist", plist("app.demo", "1.0"));
    write_file(installed / "Contents/MacOS/Demo", "old launcher", 0755);
    const auto before = snapshot(installed);
    const kestrova::testing::TempDir work;
    write_archive(work.path() / "update.tar.gz", bundle_entries("1.1"));
    try {
        StagingArea staging(installed);
        staging.extract(work.path() / "update.tar.gz");
        staging.swap_into_place();
        ADD_FAILURE() << "swapped on a file system without RENAME_EXCHANGE";
    } catch (const InstallError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot swap two directories in one step"), std::string::npos) << e.what();
    }
    EXPECT_EQ(snapshot(installed), before);
    std::vector<std::string> beside;
    for (const auto& e : fs::directory_iterator(mount_point.path())) beside.push_back(e.path().filename().string());
    EXPECT_EQ(beside, std::vector<std::string>{"Demo.app"}) << "the staging area is left behind";
}

// The ready marker is read back by whichever start finds the area: only the exact text mark_ready
// writes counts. A version one byte over the limit used to pass, with whatever followed it beyond
// the bytes read.
TEST(ReadyMarker, OnlyTheTextMarkReadyWritesIsReady) {
    const std::string digest(64, 'a');
    const std::string longest(protocol::max_version_bytes, 'v');
    const struct {
        std::string text;
        bool ready;
    } cases[] = {
        {"1.1\n" + digest + "\n", true},
        {longest + "\n" + digest + "\n", true},
        {longest + "v\n" + digest + "\n", false},
        {"", false},
        {"\n" + digest + "\n", false},
        {"1.1\n" + digest, false},
        {"1.1\n" + digest + "\n\n", false},
        {"1.1\n" + std::string(63, 'a') + "g\n", false},
        {"1\t1\n" + digest + "\n", false},
    };
    for (const auto& c : cases) {
        const auto marker = parse_ready_marker(c.text);
        EXPECT_EQ(marker.has_value(), c.ready) << c.text.substr(0, 40);
        if (marker) {
            EXPECT_EQ(marker->first + "\n" + marker->second + "\n", c.text);
        }
    }
}

}  // namespace
}  // namespace kestrova::updater
