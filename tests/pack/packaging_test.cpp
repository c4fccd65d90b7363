// The packaging logic on bytes in memory: finding the reserved area, burning and reading back a
// record, and the texts a bundle is made of; and the one file failure the CLI cannot provoke.
#include <gtest/gtest.h>

#include "pack_test_support.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"

#ifdef KESTROVA_PACK_TESTS_LIBPLIST
#include <plist/plist.h>
#include "kestrova/info_plist_keys.h"
#endif

namespace kestrova::pack {
namespace {

using namespace std::string_literals;
using testing::fake_template;
using testing::image_with_run;
using Names = std::vector<std::string>;

// The message of the PackError `f` throws, or "(no refusal)".
template <typename F>
std::string refusal(F&& f) {
    try {
        f();
    } catch (const PackError& e) {
        return e.what();
    }
    return "(no refusal)";
}

std::vector<char> joined(std::vector<char> a, const std::vector<char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FindReservedArea, TakesOnlyOneRunOfExactlyTheAreaSizeEndedByNul) {
    constexpr std::size_t n = reserved_area_size;
    const auto area = image_with_run("", n, "\0"s);
    const auto longer_run_first = image_with_run("ab\0c"s, n + 1, "\0x"s);
    const struct {
        const char* label;
        std::vector<char> image;
        std::optional<std::size_t> offset;  // empty: refused with `refused`
        const char* refused;
    } cases[] = {
        {"at the image start", area, 0, ""},
        {"after other bytes", image_with_run("ab\0c"s, n, "\0rest"s), 4, ""},
        {"after a longer run", joined(longer_run_first, area), longer_run_first.size(), ""},
        {"one short", image_with_run("ab"s, n - 1, "\0"s), {}, "no reserved area"},
        {"one long", image_with_run("ab"s, n + 1, "\0"s), {}, "no reserved area"},
        {"twice as long", image_with_run("ab"s, 2 * n, "\0"s), {}, "no reserved area"},
        {"not ended by a NUL", image_with_run("ab"s, n, "x\0"s), {}, "no reserved area"},
        {"at the end, no NUL", image_with_run("ab"s, n, ""), {}, "no reserved area"},
        {"two areas", joined(fake_template(), area), {}, "2 reserved areas"},
        {"two adjacent areas", joined(area, area), {}, "2 reserved areas"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(has_one_reserved_area(c.image), c.offset.has_value());
        if (c.offset) {
            EXPECT_EQ(find_reserved_area(c.image), *c.offset);
        } else {
            EXPECT_NE(refusal([&] { find_reserved_area(c.image); }).find(c.refused), std::string::npos);
        }
    }
}

LaunchRecordFields sample_fields() {
    // Distinct stack size bytes catch a wrong byte order; underscores at an option's end must not
    // be mistaken for the fill.
    return {flag_console | flag_bit4_mask,
            0x01020304,
            "com.example.Main",
            {"-Xmx512m", "", "-Dtext=ends_with___"},
            {"--verbose", "two words"}};
}

TEST(BurnRecord, ChangesOnlyTheRecordBytesAndRoundTripsThroughTheParse) {
    const auto image = fake_template();
    const std::size_t area = find_reserved_area(image);
    const auto record = encode_launch_record(sample_fields());
    const auto burned = burn_record(image, record);

    ASSERT_EQ(burned.size(), image.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i < area || i >= area + record.size()) {
            ASSERT_EQ(burned[i], image[i]) << "byte " << i;
        }
    }
    ASSERT_EQ(find_burned_area(burned), area);
    const BurnedInData parsed(std::span<const char>(burned.data() + area, reserved_area_size));
    const auto expected = sample_fields();
    EXPECT_EQ((std::vector<bool>{parsed.jvm_on_main_thread, parsed.console, parsed.flag_bit2, parsed.aggressive_updates,
                                 parsed.flag_bit4}),
              (std::vector<bool>{false, true, false, false, true}));
    EXPECT_EQ(parsed.stack_size, expected.stack_size);
    EXPECT_EQ(parsed.main_class, expected.main_class);
    EXPECT_EQ(parsed.jvm_options, expected.jvm_options);
    EXPECT_EQ(parsed.app_args, expected.app_args);
    EXPECT_EQ(parsed.record_size, record.size());
    EXPECT_NE(refusal([&] { burn_record(burned, record); }).find("already be burned"), std::string::npos);
}

TEST(BurnRecord, TakesRecordsUpToOneByteShortOfTheArea) {
    LaunchRecordFields fields{0, 0, "", {}, {}};
    fields.main_class.assign(max_record_size - encode_launch_record(fields).size(), 'm');
    const auto burned = burn_record(fake_template(), encode_launch_record(fields));
    const std::size_t area = find_burned_area(burned);
    EXPECT_EQ(BurnedInData(std::span<const char>(burned.data() + area, reserved_area_size)).record_size,
              max_record_size);
    fields.main_class += 'm';  // the launcher's parse would still take this one
    EXPECT_NE(refusal([&] { burn_record(fake_template(), encode_launch_record(fields)); }).find("16462"),
              std::string::npos);
}

TEST(FindBurnedArea, RefusesWhatHoldsNoSingleRecord) {
    const auto burned = burn_record(fake_template(), encode_launch_record(sample_fields()));
    auto stray = encode_launch_record(sample_fields());
    stray.insert(stray.end(), {'x', '\0'});  // the fill does not start where the record ends
    const struct {
        const char* label;
        std::vector<char> image;
        const char* refused;
    } cases[] = {
        {"an unburned template", fake_template(), "unburned launcher template"},
        {"bytes without an area", image_with_run("abc\0"s, 100, "\0"s), "no launch record"},
        {"fill only, one byte short", image_with_run("\0"s, reserved_area_size - 1, "\0"s), "no launch record"},
        {"bytes between record and fill", burn_record(fake_template(), stray), "no launch record"},
        {"two burned launchers", joined(burned, burned), "2 places"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_NE(refusal([&] { find_burned_area(c.image); }).find(c.refused), std::string::npos);
    }
}

TEST(DescribeRecord, NamesEveryFlagBit) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x00, "flags: 0x00 (none)\n"},
        {0x09, "flags: 0x09 (jvm_on_main_thread aggressive_updates)\n"},
        {0x16, "flags: 0x16 (console flag_bit2 flag_bit4)\n"},
        {0xE0, "flags: 0xe0 (bit5 bit6 bit7)\n"},
    };
    for (const auto& [flags, line] : cases) {
        const auto record = encode_launch_record({flags, 0, "M", {}, {}});
        std::vector<char> area(record);
        area.resize(reserved_area_size, reserved_area_fill);
        const auto text = describe_record(area);
        EXPECT_EQ(text.substr(0, text.find('\n') + 1), line);
    }
}

TEST(ParseNumber, AcceptsDecimalAndHexWithinTheLimitOnly) {
    constexpr std::uint32_t u32 = 0xFFFFFFFFu;
    const struct {
        const char* text;
        std::uint32_t max;
        std::optional<std::uint32_t> value;
    } cases[] = {
        {"0", 255, 0},
        {"255", 255, 255},
        {"256", 255, {}},
        {"0x14", 255, 0x14},
        {"0XfF", 255, 255},
        {"0x100", 255, {}},
        {"010", 255, 10},
        {"4294967295", u32, u32},
        {"4294967296", u32, {}},
        {"0xffffffff", u32, u32},
        {"0x100000000", u32, {}},
        {"99999999999999999999999", u32, {}},
        {"", u32, {}},
        {"0x", u32, {}},
        {"-1", u32, {}},
        {"+1", u32, {}},
        {" 1", u32, {}},
        {"1 ", u32, {}},
        {"2M", u32, {}},
        {"0x1g", u32, {}},
        {"1.5", u32, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_number(c.text, c.max), c.value) << c.text;
}

TEST(BundleJvmOptions, PutClassPathThenAppDirThenTheUsersOptions) {
    EXPECT_EQ(class_path_option(Names{"a&b.jar"}), "-Djava.class.path=&&/a&b.jar");  // one '&' is no token
    EXPECT_EQ(bundle_jvm_options(Names{"b.jar", "a.jar"}, Names{"-Xmx1g", "-Dapp.dir=mine"}),
              (Names{"-Djava.class.path=&&/kestrova-support.jar:&&/b.jar:&&/a.jar", "-Dapp.dir=&&", "-Xmx1g",
                     "-Dapp.dir=mine"}));
}

TEST(BundleJvmOptions, RefusesJarNamesTheClassPathOrResourcesCannotTake) {
    const std::pair<Names, const char*> cases[] = {
        {{"ok.jar", "a:b.jar"}, "contains ':'"},
        {{"x&&y.jar"}, "contains \"&&\""},
        {{"a.jar", "b.jar", "a.jar"}, "two JARs are named \"a.jar\""},
        {{"kestrova-support.jar"}, "like the support JAR"},
    };
    for (const auto& [names, refused] : cases)
        EXPECT_NE(refusal([&] { bundle_jvm_options(names, {}); }).find(refused), std::string::npos) << refused;
}

TEST(BundleTexts, IdentifierAndNameRules) {
    EXPECT_EQ(default_bundle_identifier("My App 2"), "app.kestrova.my-app-2");
    EXPECT_EQ(default_bundle_identifier("a.b_C"), "app.kestrova.a-b-c");
    EXPECT_EQ(default_bundle_identifier("Caf\xc3\xa9"), "app.kestrova.caf--");  // per byte
    EXPECT_TRUE(is_valid_bundle_name(".hidden"));
    for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(is_valid_bundle_name(bad)) << bad;
    EXPECT_TRUE(is_valid_bundle_name(std::string(251, 'n')));  // "NAME.app" is 255 bytes
    EXPECT_FALSE(is_valid_bundle_name(std::string(252, 'n')));
}

TEST(BundleTexts, XmlEscapingAndWhatXmlCannotHold) {
    EXPECT_EQ(xml_escape(R"(a<b>&"c"'d')", "x"), "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;");
    EXPECT_EQ(xml_escape("tab\tline\ncaf\xc3\xa9", "x"), "tab\tline\ncaf\xc3\xa9");
    EXPECT_NE(refusal([] {
                  xml_escape("bad\x01", kestrova::info_keys::bundle_name);
              }).find(kestrova::info_keys::bundle_name),
              std::string::npos);
    EXPECT_NE(refusal([] { xml_escape("bad\xff", kestrova::info_keys::feed_url); }).find("UTF-8"), std::string::npos);
    const auto minimal = info_plist_xml(
        {"A", "a", "A", "1", std::nullopt, false, std::nullopt, std::nullopt, std::nullopt});
    for (const char* optional_key :
         {kestrova::info_keys::feed_url, kestrova::info_keys::enable_automatic_checks,
          kestrova::info_keys::scheduled_check_interval, kestrova::info_keys::bundle_icon_file})
        EXPECT_EQ(minimal.find(optional_key), std::string::npos) << optional_key;
}

#ifdef KESTROVA_PACK_TESTS_LIBPLIST
// The launcher reads Info.plist with libplist: every value must come back exactly as given.
TEST(BundleTexts, InfoPlistReadsBackThroughLibplist) {
    const PlistFields fields{"A&B", "app.kestrova.a-b", "A&B <\"Beta\">", "2.0'rc", "https://h/f?a=1&b=<2>", true,
                             7200,  std::nullopt,       "A&B.png"};
    const auto xml = info_plist_xml(fields);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr) << xml;
    const auto value = [&](const char* key) {
        char* text = nullptr;
        if (const plist_t node = plist_dict_get_item(root, key)) plist_get_string_val(node, &text);
        std::string result = text == nullptr ? "(missing)" : text;
        std::free(text);
        return result;
    };
    EXPECT_EQ(value(kestrova::info_keys::bundle_executable), fields.executable);
    EXPECT_EQ(value(kestrova::info_keys::bundle_identifier), fields.identifier);
    EXPECT_EQ(value(kestrova::info_keys::bundle_name), fields.name);
    EXPECT_EQ(value(kestrova::info_keys::bundle_version), fields.version);
    EXPECT_EQ(value(kestrova::info_keys::feed_url), *fields.feed_url);
    EXPECT_EQ(value(kestrova::info_keys::bundle_icon_file), *fields.icon_file);
    // The updater's settings keep their types: a boolean and an integer, not strings.
    std::uint8_t automatic = 0;
    plist_get_bool_val(plist_dict_get_item(root, kestrova::info_keys::enable_automatic_checks), &automatic);
    EXPECT_EQ(automatic, 1);
    std::uint64_t interval = 0;
    plist_get_uint_val(plist_dict_get_item(root, kestrova::info_keys::scheduled_check_interval), &interval);
    EXPECT_EQ(interval, 7200u);
    plist_free(root);
}
#endif

TEST(WriteFileAtomically, AFailedRenameLeavesNoTemporary) {
    // The tool checks for a directory in the way before writing; here the write itself fails late.
    const testing::TempDir dir;
    std::filesystem::create_directories(dir.path() / "taken" / "inside");
    EXPECT_THROW(write_file_atomically(dir.path() / "taken", std::string_view("x"), 0644), PackError);
    EXPECT_EQ(testing::tree_listing(dir.path()), (Names{"taken", "taken/inside"}));
}

}  // namespace
}  // namespace kestrova::pack
