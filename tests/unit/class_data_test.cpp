#include "core/class_data.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrova::class_data
