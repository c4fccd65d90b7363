// The rule by which a start of a bundle decides whether it puts itself in the menu.
#include "kestrova/desktop_integration.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

using Step = DesktopIntegrationStep;

// A GUI start of the user's own writable copy, never asked before, with a display.
DesktopIntegrationFacts eligible(DesktopIntegration mode) {
    DesktopIntegrationFacts facts;
    facts.mode = mode;
    facts.owned_by_user = true;
    facts.writable = true;
    facts.can_ask = true;
    return facts;
}

TEST(DesktopIntegration, OnlyAnEligibleStartWithNothingRememberedActs) {
    struct Case {
        const char* what;
        void (*change)(DesktopIntegrationFacts&);
        Step yes;
        Step ask;
    };
    const Case cases[] = {
        {"eligible", [](DesktopIntegrationFacts&) {}, Step::write, Step::ask},
        {"console command", [](DesktopIntegrationFacts& f) { f.console = true; }, Step::nothing, Step::nothing},
        {"package-managed", [](DesktopIntegrationFacts& f) { f.package_managed = true; }, Step::nothing, Step::nothing},
        {"root's or another user's copy", [](DesktopIntegrationFacts& f) { f.owned_by_user = false; }, Step::nothing,
         Step::nothing},
        {"read-only copy", [](DesktopIntegrationFacts& f) { f.writable = false; }, Step::nothing, Step::nothing},
        {"an entry of its own already", [](DesktopIntegrationFacts& f) { f.has_entry = true; }, Step::nothing,
         Step::nothing},
        {"answered yes before (entry since removed)", [](DesktopIntegrationFacts& f) { f.remembered = true; },
         Step::nothing, Step::nothing},
        {"answered no before", [](DesktopIntegrationFacts& f) { f.remembered = false; }, Step::nothing, Step::nothing},
        // Without a dialog "ask" waits for a start that can show one; "yes" needs none.
        {"no dialog", [](DesktopIntegrationFacts& f) { f.can_ask = false; }, Step::write, Step::nothing},
    };
    for (const auto& c : cases) {
        for (const auto mode : {DesktopIntegration::yes, DesktopIntegration::ask}) {
            auto facts = eligible(mode);
            c.change(facts);
            EXPECT_EQ(desktop_integration_step(facts), mode == DesktopIntegration::yes ? c.yes : c.ask) << c.what;
        }
        auto off = eligible(DesktopIntegration::no);
        c.change(off);
        EXPECT_EQ(desktop_integration_step(off), Step::nothing) << c.what << ", integration off";
    }
}

TEST(DesktopIntegration, KeyValuesAndRememberedAnswersReadBackStrictly) {
    EXPECT_EQ(desktop_integration_of("yes"), DesktopIntegration::yes);
    EXPECT_EQ(desktop_integration_of("ask"), DesktopIntegration::ask);
    for (const auto& other : {std::optional<std::string>{}, std::optional<std::string>{"YES"},
                              std::optional<std::string>{"no"}, std::optional<std::string>{""}})
        EXPECT_EQ(desktop_integration_of(other), DesktopIntegration::no) << other.value_or("(absent)");
    for (const bool answer : {true, false})
        EXPECT_EQ(desktop_integration_answer(desktop_integration_answer_text(answer)), answer);
    // A damaged state file counts as no answer, so the start asks again rather than guess.
    EXPECT_EQ(desktop_integration_answer("maybe\n"), std::nullopt);
    EXPECT_EQ(desktop_integration_answer(""), std::nullopt);
}

}  // namespace
}  // namespace kestrova
