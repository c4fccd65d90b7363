// The scheduling settings read from Info.plist values and the first scheduled check, one line per case.
#include "updater/schedule.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>
#include "kestrova/info_plist_keys.h"

namespace kestrova::updater {
namespace {

using Action = ScheduleDecision::Action;

TEST(InfoBoolean, ReadsThePlistSpellings) {
    const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
        {"YES", true},       {"yes", true},
        {"true", true},      {"TRUE", true},
        {"1", true},         {" YES\n", true},
        {"NO", false},       {"no", false},
        {"false", false},    {"0", false},
        {"", std::nullopt},  {"Y", std::nullopt},
        {"2", std::nullopt}, {"yes please", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parse_info_boolean(text), expected) << '"' << text << '"';
    }
}

TEST(Seconds, ReadsDecimalNumbersOnly) {
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"3600", 3600.0},       {" 86400 ", 86400.0},  {"+7200", 7200.0},     {"1.5", 1.5},
        {"-1", -1.0},           {"1e4", 10000.0},      {"", std::nullopt},    {"12s", std::nullopt},
        {"0x10", std::nullopt}, {"nan", std::nullopt}, {"inf", std::nullopt}, {"1e999", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parse_seconds(text), expected) << '"' << text << '"';
    }
}

struct SettingsCase {
    std::optional<std::string> enable;
    std::optional<std::string> interval;
    bool automatic;
    double expected_interval;  // checked only when automatic
};

TEST(SchedulerSettings, DefaultsClampingAndTurningOff) {
    const std::vector<SettingsCase> cases = {
        {std::nullopt, std::nullopt, false, 0},
        {"NO", "3600", false, 0},
        {"YES", std::nullopt, true, 86400},
        {"true", "7200", true, 7200},
        {"1", "3600", true, 3600},
        {"YES", "3599", true, 3600},
        {"YES", "1", true, 3600},
        {"YES", "0.5", true, 3600},
        {"YES", "-86400", true, 3600},
        {"YES", "0", false, 0},
        {"YES", "0.0", false, 0},
        {"YES", "weekly", true, 86400},
        {"maybe", "7200", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.enable.value_or("(absent)") + " / " + c.interval.value_or("(absent)"));
        std::map<std::string, std::string, std::less<>> plist;
        if (c.enable) {
            plist[kestrova::info_keys::enable_automatic_checks] = *c.enable;
        }
        if (c.interval) {
            plist[kestrova::info_keys::scheduled_check_interval] = *c.interval;
        }
        int notes = 0;
        const auto settings = scheduler_settings(
            [&plist](std::string_view key) -> std::optional<std::string> {
                const auto found = plist.find(key);
                return found == plist.end() ? std::nullopt : std::optional(found->second);
            },
            [&notes](std::string_view) { ++notes; });
        EXPECT_EQ(settings.automatic_checks, c.automatic);
        if (c.automatic) {
            EXPECT_EQ(settings.interval, c.expected_interval);
        }
        // Every value that was not taken as written is explained.
        const bool adjusted = (c.enable && !parse_info_boolean(*c.enable)) ||
                              (c.interval && settings.interval != parse_seconds(*c.interval));
        EXPECT_EQ(notes > 0, adjusted);
    }
}

struct DecisionCase {
    const char* name;
    bool automatic;
    double interval;
    std::optional<double> seconds_ago;  // nothing: never checked
    Action action;
    double delay;
};

TEST(FirstCheck, FromTheLastCheckTime) {
    constexpr double now = 700'000'000;
    const std::vector<DecisionCase> cases = {
        {"checks off", false, 86400, 10, Action::none, 0},
        {"checks off, never checked", false, 86400, std::nullopt, Action::none, 0},
        {"never checked", true, 86400, std::nullopt, Action::check_now, 0},
        {"just checked", true, 86400, 0, Action::check_later, 86400},
        {"checked a while ago", true, 86400, 86000, Action::check_later, 400},
        {"checked one interval ago", true, 86400, 86400, Action::check_now, 0},
        {"checked long ago", true, 3600, 1e9, Action::check_now, 0},
        {"last check in the future", true, 3600, -1e6, Action::check_later, 3600},
        {"fraction of a second left", true, 3600, 3599.5, Action::check_later, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SchedulerSettings settings{c.automatic, c.interval};
        const auto last = c.seconds_ago ? std::optional(now - *c.seconds_ago) : std::nullopt;
        const auto decision = first_check(settings, last, now);
        EXPECT_EQ(decision.action, c.action);
        if (c.action == Action::check_later) {
            EXPECT_DOUBLE_EQ(decision.delay, c.delay);
        }
    }
}

}  // namespace
}  // namespace kestrova::updater
