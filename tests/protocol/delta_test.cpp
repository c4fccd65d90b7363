// The delta format: what each kind of change becomes, that applying builds the new tree exactly,
// and that a hostile or mismatched delta is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "protocol/delta.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kestrova::protocol::DeltaError;
using kestrova::protocol::DeltaKind;
using kestrova::protocol::DeltaManifest;

void write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Bytes that do not compress, so that a patch that sends them whole shows in its size.
std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

// The differences between two trees (types, modes, link targets, bytes), one line each.
std::string differences(const fs::path& a, const fs::path& b) {
    std::string out;
    const auto list = [](const fs::path& top) {
        std::map<std::string, fs::path> paths;
        for (const auto& e : fs::recursive_directory_iterator(top)) paths[fs::relative(e.path(), top)] = e.path();
        return paths;
    };
    const auto left = list(a), right = list(b);
    for (const auto& [name, path] : left) {
        const auto other = right.find(name);
        if (other == right.end()) {
            out += "only in old: " + name + "\n";
            continue;
        }
        struct stat x {
        }, y{};
        ::lstat(path.c_str(), &x);
        ::lstat(other->second.c_str(), &y);
        if ((x.st_mode & 0170777) != (y.st_mode & 0170777)) out += "mode: " + name + "\n";
        if (S_ISLNK(x.st_mode) && fs::read_symlink(path) != fs::read_symlink(other->second))
            out += "target: " + name + "\n";
        if (S_ISREG(x.st_mode) && read(path) != read(other->second)) out += "bytes: " + name + "\n";
    }
    for (const auto& [name, path] : right)
        if (left.count(name) == 0) out += "only in new: " + name + "\n";
    return out;
}

int open_dir(const fs::path& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

class DeltaTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string jar = noise(200'000, 1);
        std::string changed_jar = jar;
        changed_jar.replace(100'000, 5, "CHANG");
        // The old bundle.
        write(old_ / "Contents/Info.plist", "<plist>1.0</plist>");
        write(old_ / "Contents/Resources/app.jar", jar);
        write(old_ / "Contents/Resources/lib-2.3.jar", noise(150'000, 2));
        write(old_ / "Contents/Resources/readme.txt", "read me");
        write(old_ / "Contents/Resources/old-name.bin", noise(5000, 3));
        write(old_ / "Contents/Resources/gone.txt", "gone");
        write(old_ / "Contents/MacOS/App", "launcher");
        fs::create_directory_symlink("Contents/Home", old_ / "Contents/home");
        // The new one: each kind of change once.
        fs::create_directories(new_);
        fs::copy(old_, new_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        write(new_ / "Contents/Info.plist", "<plist>1.1</plist>");
        write(new_ / "Contents/Resources/app.jar", changed_jar);
        fs::remove(new_ / "Contents/Resources/lib-2.3.jar");
        std::string next_lib = noise(150'000, 2);
        next_lib.replace(70'000, 4, "NEXT");
        write(new_ / "Contents/Resources/lib-2.4.jar", next_lib);
        fs::rename(new_ / "Contents/Resources/old-name.bin", new_ / "Contents/Resources/new-name.bin");
        fs::remove(new_ / "Contents/Resources/gone.txt");
        write(new_ / "Contents/Resources/added.txt", "added");
        fs::permissions(new_ / "Contents/MacOS/App", fs::perms(0755));
        fs::remove(new_ / "Contents/home");
        fs::create_symlink("../Resources/app.jar", new_ / "Contents/home");
        fs::create_directories(new_ / "Contents/locked");
        write(new_ / "Contents/locked/inside.txt", "in a read-only directory");
        fs::permissions(new_ / "Contents/locked", fs::perms(0555));
        kestrova::protocol::make_delta(old_, new_, "1.0", "1.1", delta_);
    }
    void TearDown() override {
        for (const fs::path& p : {new_ / "Contents/locked", built_ / "App.app/Contents/locked"})
            if (fs::exists(p)) fs::permissions(p, fs::perms::owner_all);
    }

    DeltaManifest apply() {
        fs::create_directories(built_);
        const int delta = ::open(delta_.c_str(), O_RDONLY | O_CLOEXEC);
        const int old_fd = open_dir(old_);
        const int into = open_dir(built_);
        const auto close_all = [&] {
            ::close(delta);
            ::close(old_fd);
            ::close(into);
        };
        try {
            DeltaManifest m = kestrova::protocol::apply_delta(delta, old_fd, "1.0", into, "App.app");
            close_all();
            return m;
        } catch (...) {
            close_all();
            throw;
        }
    }
    std::string apply_error() {
        try {
            apply();
        } catch (const DeltaError& e) {
            return e.what();
        }
        return "(applied)";
    }

    kestrova::testing::TempDir dir_;
    fs::path old_ = dir_.path() / "old/App.app";
    fs::path new_ = dir_.path() / "new/App.app";
    fs::path built_ = dir_.path() / "built";
    fs::path delta_ = dir_.path() / "1.0-1.1.delta";
};

TEST_F(DeltaTest, EachChangeBecomesItsKindAndTheBuiltTreeIsTheNewOne) {
    const int fd = ::open(delta_.c_str(), O_RDONLY | O_CLOEXEC);
    const DeltaManifest m = kestrova::protocol::inspect_delta(fd);
    ::close(fd);
    struct Row {
        const char* path;
        DeltaKind kind;
        const char* source;
    };
    const Row rows[] = {
        {"Contents/Resources/readme.txt", DeltaKind::same, "Contents/Resources/readme.txt"},
        {"Contents/Resources/new-name.bin", DeltaKind::copy, "Contents/Resources/old-name.bin"},
        {"Contents/Resources/app.jar", DeltaKind::patch, "Contents/Resources/app.jar"},
        {"Contents/Resources/lib-2.4.jar", DeltaKind::patch, "Contents/Resources/lib-2.3.jar"},
        {"Contents/Resources/added.txt", DeltaKind::added, ""},
        {"Contents/MacOS/App", DeltaKind::same, "Contents/MacOS/App"},
        {"Contents/home", DeltaKind::link, ""},
        {"Contents/locked", DeltaKind::directory, ""},
    };
    for (const Row& row : rows) {
        const auto it = std::find_if(m.entries.begin(), m.entries.end(),
                                     [&](const auto& e) { return e.path == row.path; });
        ASSERT_NE(it, m.entries.end()) << row.path;
        EXPECT_EQ(it->kind, row.kind) << row.path;
        if (row.kind != DeltaKind::link && row.kind != DeltaKind::directory && row.kind != DeltaKind::added) {
            EXPECT_EQ(it->source, row.source) << row.path;
        }
        // A patch sends the change, not the file: the noise would not compress at all.
        if (row.kind == DeltaKind::patch) {
            EXPECT_LT(it->payload_bytes, 2000u) << row.path;
        }
    }
    EXPECT_EQ(m.removed, (std::vector<std::string>{"Contents/Resources/gone.txt", "Contents/Resources/lib-2.3.jar",
                                                   "Contents/Resources/old-name.bin"}));

    apply();
    EXPECT_EQ(differences(new_, built_ / "App.app"), "");
}

// What the installed tree may have become since the delta was made; each is refused.
TEST_F(DeltaTest, AnInstalledTreeOtherThanTheOneItWasMadeFromIsRefused) {
    const struct {
        const char* what;
        std::function<void(const fs::path&)> change;
        const char* error;
    } rows[] = {
        {"a moved file's source is gone",
         [](const fs::path& old) { fs::remove(old / "Contents/Resources/old-name.bin"); },
         "has no file \"Contents/Resources/old-name.bin\""},
        {"a patched file is gone", [](const fs::path& old) { fs::remove(old / "Contents/Resources/app.jar"); },
         "has no file \"Contents/Resources/app.jar\""},
        {"a patched file became a link",
         [](const fs::path& old) {
             fs::remove(old / "Contents/Resources/app.jar");
             fs::create_symlink("readme.txt", old / "Contents/Resources/app.jar");
         },
         "has no file \"Contents/Resources/app.jar\""},
        {"a patched file grew",
         [](const fs::path& old) { std::ofstream(old / "Contents/Resources/app.jar", std::ios::app) << "x"; },
         "\"Contents/Resources/app.jar\" is not the one"},
        {"an unchanged file was edited in place",
         [](const fs::path& old) { write(old / "Contents/Resources/readme.txt", "READ ME"); }, "is not the signed one"},
    };
    const fs::path pristine = dir_.path() / "pristine";
    fs::create_directories(pristine);
    fs::copy(old_, pristine, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(old_);
        fs::create_directories(old_);
        fs::copy(pristine, old_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        row.change(old_);
        EXPECT_NE(apply_error().find(row.error), std::string::npos) << apply_error();
        fs::remove_all(built_);
    }
}

TEST_F(DeltaTest, ACutDeltaIsRefused) {
    fs::resize_file(delta_, fs::file_size(delta_) - 600);
    EXPECT_NE(apply_error(), "(applied)");
}

// A manifest that a well-made delta never holds, one fault per line.
TEST(DeltaManifestTest, HostileManifestsAreRefused) {
    const std::string head = "kestrova-delta 1\nbundle App.app\nfrom 1.0\nto 1.1\ndigest " + std::string(64, 'a') +
                             "\ntop 755\ndir 755 Contents\n";
    const struct {
        const char* body;
        const char* error;
    } rows[] = {
        {"same 644 1 ../escape\n", "not a path inside the bundle"},
        {"same 644 1 /etc/passwd\n", "not a path inside the bundle"},
        {"same 644 1 Contents/./x\n", "not a path inside the bundle"},
        {"copy 644 1 Contents/x ../../etc/passwd\n", "not a path inside the bundle"},
        {"same 644 1 Other/x\n", "out of tree order"},
        {"same 644 1 Contents/b\nsame 644 1 Contents/a\n", "out of tree order"},
        {"same 644 1 Contents/a\nsame 644 1 Contents/a\n", "out of tree order"},
        {"link 777 Contents/l x\nsame 644 1 Contents/l/x\n", "out of tree order"},
        {"same 4755 1 Contents/x\n", "mode past 0777"},
        {"added 644 99999999999999 Contents/x\n", "more than a delta may write"},
        {"patch 644 1 Contents/x Contents/y 99999999999\n", "more than a delta may write"},
        {"frobnicate Contents/x\n", "not understood"},
    };
    for (const auto& row : rows) {
        try {
            kestrova::protocol::parse_delta_manifest(head + row.body + "end\n");
            ADD_FAILURE() << row.body << " was accepted";
        } catch (const DeltaError& e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << row.body << ": " << e.what();
        }
    }
    EXPECT_THROW(kestrova::protocol::parse_delta_manifest(head), DeltaError);  // cut short: no "end"
    EXPECT_NO_THROW(kestrova::protocol::parse_delta_manifest(head + "same 644 1 Contents/a%20b\nend\n"));
}

}  // namespace
