#include "kestrova/burned_in_data.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrova {
namespace {

// A reserved area of full size holding `record` at its start and the fill after it.
std::string area_with(const std::string& record) {
    std::string area(reserved_area_size, reserved_area_fill);
    area.replace(0, record.size(), record);
    return area;
}

TEST(LaunchRecordParse, MinimalRecord) {
    const auto area = area_with(
        std::string("\x00\x00\x20\x00\x00"
                    "a\0\0\0",
                    9));
    const BurnedInData data(area.data());
    EXPECT_EQ(data.stack_size, 2097152u);
    EXPECT_EQ(data.main_class, "a");
    EXPECT_TRUE(data.jvm_options.empty());
    EXPECT_TRUE(data.app_args.empty());
    EXPECT_FALSE(data.jvm_on_main_thread || data.console || data.flag_bit2 || data.aggressive_updates ||
                 data.flag_bit4);
    EXPECT_EQ(data.record_size, 9u);
}

TEST(LaunchRecordParse, StackSizeIsBigEndianWithUnsignedBytes) {
    struct Case {
        std::string bytes;
        std::uint32_t expected;
    };
    for (const auto& c :
         {Case{std::string("\x00\x80\x00\x00", 4), 8388608u}, Case{std::string("\x00\x00\x00\xFF", 4), 255u},
          Case{std::string("\xFF\xFF\xFF\xFE", 4), 0xFFFFFFFEu},
          Case{std::string("\x80\x00\x00\x01", 4), 0x80000001u}}) {
        const auto area = area_with(std::string(1, '\0') + c.bytes + std::string("M\0\0\0", 4));
        EXPECT_EQ(BurnedInData(area.data()).stack_size, c.expected);
    }
}

TEST(LaunchRecordParse, EachFlagBitHasItsField) {
    struct Case {
        unsigned char flags;
        bool main_thread, console, bit2, aggressive, bit4;
    };
    for (const auto& c : {Case{0x01, true, false, false, false, false}, Case{0x02, false, true, false, false, false},
                          Case{0x08, false, false, false, true, false}, Case{0x14, false, false, true, false, true},
                          Case{0xE0, false, false, false, false, false}, Case{0xFF, true, true, true, true, true}}) {
        const auto area = area_with(std::string(1, static_cast<char>(c.flags)) + std::string("\0\0\0\0M\0\0\0", 8));
        const BurnedInData data(area.data());
        EXPECT_EQ(data.jvm_on_main_thread, c.main_thread) << int(c.flags);
        EXPECT_EQ(data.console, c.console) << int(c.flags);
        EXPECT_EQ(data.flag_bit2, c.bit2) << int(c.flags);
        EXPECT_EQ(data.aggressive_updates, c.aggressive) << int(c.flags);
        EXPECT_EQ(data.flag_bit4, c.bit4) << int(c.flags);
    }
}

TEST(LaunchRecordParse, EmptyStringsAreEntriesAndCount) {
    const auto area = area_with(
        std::string("\0\0\0\0\0M\0\x03"
                    "a\0\0&&\0\x02\0b c\0",
                    20));
    const BurnedInData data(area.data());
    EXPECT_EQ(data.jvm_options, (std::vector<std::string>{"a", "", "&&"}));
    EXPECT_EQ(data.app_args, (std::vector<std::string>{"", "b c"}));
}

TEST(LaunchRecordParse, RoundTripAtTheLimits) {
    LaunchRecordFields fields;
    fields.flags = 0x1F;
    fields.stack_size = 0x01020304;
    fields.main_class = "com.example.Main";
    for (int i = 0; i < 255; ++i) fields.jvm_options.push_back("-Dk" + std::to_string(i) + "=&&/v");
    for (int i = 0; i < 255; ++i) fields.app_args.push_back(i % 2 ? "" : "arg" + std::to_string(i));
    const auto bytes = encode_launch_record(fields);
    const auto area = area_with(std::string(bytes.begin(), bytes.end()));
    const BurnedInData data(area.data());
    EXPECT_EQ(data.stack_size, fields.stack_size);
    EXPECT_EQ(data.main_class, fields.main_class);
    EXPECT_EQ(data.jvm_options, fields.jvm_options);
    EXPECT_EQ(data.app_args, fields.app_args);
    EXPECT_EQ(data.record_size, bytes.size());
}

TEST(LaunchRecordBounds, ParserStopsAtTheEndOfItsBytes) {
    struct Case {
        std::string record;
        const char* what;
    };
    const std::string header("\0\0\0\0\0", 5);
    const Case cases[] = {
        {"", "the flags byte"},
        {std::string("\0\0\0", 3), "the stack size"},
        {header + "Main", "the main class name"},
        {header + std::string("M\0", 2), "the JVM option count"},
        {header + std::string("M\0\x02"
                              "a\0"
                              "b",
                              6),
         "a JVM option"},
        {header + std::string("M\0\0", 3), "the argument count"},
        {header + std::string("M\0\0\x01"
                              "x",
                              5),
         "an argument"},
    };
    for (const auto& c : cases) {
        // Exactly the record's bytes: a copy on the heap, so a read past them is caught by ASan.
        const std::vector<char> bytes(c.record.begin(), c.record.end());
        try {
            BurnedInData data{std::span<const char>(bytes)};
            ADD_FAILURE() << "no error for " << c.what;
        } catch (const LaunchRecordError& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
}

TEST(LaunchRecordBounds, FillIsNeverTakenForAString) {
    // A main class without its NUL would run into the fill; the fill ends where the area does.
    const auto area = area_with(std::string("\0\0\0\0\0", 5) + "Main");
    EXPECT_THROW(BurnedInData{area.data()}, LaunchRecordError);
}

TEST(LaunchRecordEncode, RefusesWhatARecordCannotHold) {
    LaunchRecordFields nul_inside;
    nul_inside.main_class = std::string("a\0b", 3);
    EXPECT_THROW(encode_launch_record(nul_inside), LaunchRecordError);

    LaunchRecordFields too_many;
    too_many.main_class = "M";
    too_many.jvm_options.assign(256, "x");
    EXPECT_THROW(encode_launch_record(too_many), LaunchRecordError);
    too_many.jvm_options.clear();
    too_many.app_args.assign(256, "x");
    EXPECT_THROW(encode_launch_record(too_many), LaunchRecordError);

    LaunchRecordFields too_long;
    too_long.main_class = std::string(reserved_area_size - 8, 'M');
    EXPECT_NO_THROW(encode_launch_record(too_long));  // exactly fills the area
    too_long.main_class += 'M';
    EXPECT_THROW(encode_launch_record(too_long), LaunchRecordError);
}

}  // namespace
}  // namespace kestrova
