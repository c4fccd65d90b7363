#include "kestrova/desktop_integration.h"

#include "kestrova/text.h"

namespace kestrova {

DesktopIntegration desktop_integration_of(const std::optional<std::string>& value) {
    if (value == "yes") return DesktopIntegration::yes;
    if (value == "ask") return DesktopIntegration::ask;
    return DesktopIntegration::no;
}

DesktopIntegrationStep desktop_integration_step(const DesktopIntegrationFacts& facts) {
    if (facts.mode == DesktopIntegration::no || facts.console || facts.package_managed || !facts.owned_by_user ||
        !facts.writable || facts.has_entry || facts.remembered)
        return DesktopIntegrationStep::nothing;
    if (facts.mode == DesktopIntegration::yes) return DesktopIntegrationStep::write;
    return facts.can_ask ? DesktopIntegrationStep::ask : DesktopIntegrationStep::nothing;
}

std::string_view desktop_integration_answer_text(bool yes) { return yes ? "yes\n" : "no\n"; }

std::optional<bool> desktop_integration_answer(std::string_view text) {
    const auto answer = trim_white_space(text);
    if (answer == "yes") return true;
    if (answer == "no") return false;
    return std::nullopt;
}

}  // namespace kestrova
