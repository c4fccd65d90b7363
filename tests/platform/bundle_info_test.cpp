#include "platform/bundle_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

#include "kestrova/info_plist_keys.h"
#include "platform/linux/bundle_info_internal.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace kestrova::platform {
namespace {

namespace fs = std::filesystem;
using linux_backend::info_dictionary_string_from;

void write_file(const fs::path& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Every kind of value an Info.plist may hold, and what a caller asking for a string gets.
constexpr const char* xml_dictionary = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleVersion</key><string>1.2.3</string>
  <key>Empty</key><string></string>
  <key>Accents</key><string>Grüße &amp; &lt;more&gt;</string>
  <key>Interval</key><integer>86400</integer>
  <key>Zero</key><integer>0</integer>
  <key>Negative</key><integer>-5</integer>
  <key>Large</key><integer>9007199254740993</integer>
  <key>Half</key><real>2.5</real>
  <key>Tenth</key><real>0.1</real>
  <key>Whole</key><real>3</real>
  <key>Huge</key><real>1e21</real>
  <key>On</key><true/>
  <key>Off</key><false/>
  <key>Blob</key><data>AAEC</data>
  <key>When</key><date>2024-01-01T00:00:00Z</date>
  <key>List</key><array><string>a</string></array>
  <key>Nested</key><dict><key>Inner</key><string>x</string></dict>
</dict>
</plist>
)";

struct Expected {
    const char* key;
    std::optional<std::string> value;
};
const Expected expectations[] = {
    {kestrova::info_keys::bundle_version, "1.2.3"},
    {"Empty", ""},
    {"Accents", "Grüße & <more>"},
    {"Interval", "86400"},
    {"Zero", "0"},
    {"Negative", "-5"},
    {"Large", "9007199254740993"},  // past a double's exact integers: read as an integer
    {"Half", "2.5"},
    {"Tenth", "0.1"},  // the shortest form that reads back, not 0.10000000000000001
    {"Whole", "3"},
    {"Huge", "1e+21"},
    {"On", "YES"},
    {"Off", "NO"},
    {"Blob", std::nullopt},
    {"When", std::nullopt},
    {"List", std::nullopt},
    {"Nested", std::nullopt},
    {"Inner", std::nullopt},  // only the top level counts
    {"NoSuchKey", std::nullopt},
    {"cfbundleversion", std::nullopt},  // keys are case-sensitive
};

class InfoPlist : public ::testing::Test {
protected:
    // The same dictionary in Apple's binary form, written by libplist itself.
    std::string binary_of(const char* xml) {
        plist_t root = nullptr;
        plist_from_xml(xml, static_cast<uint32_t>(std::strlen(xml)), &root);
        EXPECT_NE(root, nullptr);
        char* bin = nullptr;
        uint32_t length = 0;
        plist_to_bin(root, &bin, &length);
        std::string out(bin, length);
        plist_to_bin_free(bin);
        plist_free(root);
        return out;
    }

    kestrova::testing::TempDir temp;
    const fs::path dir = temp.path();
};

TEST_F(InfoPlist, XmlAndBinaryFormsGiveTheSameStrings) {
    write_file(dir / "xml.plist", xml_dictionary);
    const std::string binary = binary_of(xml_dictionary);
    ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
    write_file(dir / "binary.plist", binary);
    for (const char* file : {"xml.plist", "binary.plist"}) {
        for (const auto& e : expectations)
            EXPECT_EQ(info_dictionary_string_from((dir / file).string(), e.key), e.value) << file << ": " << e.key;
    }
}

TEST_F(InfoPlist, AnythingButADictionaryFileHasNoKeys) {
    const std::string valid_binary = binary_of(xml_dictionary);
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"text", "CFBundleVersion = 1.2.3"},
        {"cut-xml", std::string(xml_dictionary).substr(0, 300)},
        {"array-root",
         R"(<?xml version="1.0"?><plist version="1.0"><array><string>CFBundleVersion</string></array></plist>)"},
        {"string-root", R"(<?xml version="1.0"?><plist version="1.0"><string>CFBundleVersion</string></plist>)"},
        {"cut-binary", valid_binary.substr(0, valid_binary.size() / 2)},
        {"binary-magic-only", "bplist00"},
        {"unclosed-dict", R"(<plist><dict><key>CFBundleVersion</key><string>1</string>)"},
    };
    for (const auto& c : cases) {
        write_file(dir / c.name, c.content);
        EXPECT_EQ(info_dictionary_string_from((dir / c.name).string(), kestrova::info_keys::bundle_version),
                  std::nullopt)
            << c.name;
    }
    EXPECT_EQ(info_dictionary_string_from((dir / "missing").string(), kestrova::info_keys::bundle_version),
              std::nullopt);
    EXPECT_EQ(info_dictionary_string_from(dir.string(), kestrova::info_keys::bundle_version), std::nullopt)
        << "a directory";
}

// A named pipe where Info.plist belongs would hold a blocking open until a writer came, and with it
// the launch: it is refused at once, and the user hears what to put there.
TEST_F(InfoPlist, ANamedPipeIsRefusedWithoutWaiting) {
    const fs::path pipe = dir / "Info.plist";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    ::testing::internal::CaptureStderr();
    auto reading = std::async(std::launch::async, [&] { return read_info_dictionary(pipe.string()); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Free the reader that is stuck, so that the test ends.
        const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        reading.wait();
        if (writer >= 0) ::close(writer);
        ::testing::internal::GetCapturedStderr();
        FAIL() << "reading a named pipe waited for a writer";
    }
    EXPECT_TRUE(reading.get().empty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "kestrova: " + pipe.string() +
                  " is not a regular file, so it is not read; put the bundle's Info.plist file there.\n");
}

TEST(ContentsDirectoryOf, IsTheParentOfTheExecutablesDirectory) {
    const struct {
        const char* executable;
        const char* contents;
    } cases[] = {
        {"/Apps/Name.app/Contents/MacOS/Name", "/Apps/Name.app/Contents"},
        {"/x/y", "/"},
        {"/y", "/"},
        {"relative/dir/exe", "relative"},
        {"exe", "."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_backend::contents_directory_of(c.executable), c.contents) << c.executable;
}

// This test program is built inside Test.app/Contents/MacOS, beside a real Info.plist.
TEST(MainBundle, ReadsTheInfoPlistBesideTheExecutable) {
    char exe[4096];
    std::uint32_t size = sizeof exe;
    ASSERT_EQ(get_executable_path(exe, &size), 0);
    const fs::path contents = fs::path(exe).parent_path().parent_path();
    EXPECT_EQ(bundle_contents_directory(), contents.string());
    ASSERT_TRUE(fs::exists(contents / "Info.plist"));

    EXPECT_EQ(info_dictionary_string(kestrova::info_keys::bundle_version), "9.8.7");
    EXPECT_EQ(info_dictionary_string(kestrova::info_keys::scheduled_check_interval), "7200");
    EXPECT_EQ(info_dictionary_string(kestrova::info_keys::enable_automatic_checks), "YES");
    EXPECT_EQ(info_dictionary_string(kestrova::info_keys::feed_url), std::nullopt);
}

}  // namespace
}  // namespace kestrova::platform
