#include "updater/schedule.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"

namespace kestrova::updater {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

void tell(const SettingNote& note, const std::string& line) {
    if (note) {
        note(line);
    }
}

}  // namespace

std::optional<bool> parse_info_boolean(std::string_view text) {
    text = trim_white_space(text);
    for (const std::string_view yes : {"yes", "true", "1"}) {
        if (equals_ignoring_case(text, yes)) {
            return true;
        }
    }
    for (const std::string_view no : {"no", "false", "0"}) {
        if (equals_ignoring_case(text, no)) {
            return false;
        }
    }
    return std::nullopt;
}

std::optional<double> parse_seconds(std::string_view text) { return parse_decimal(text); }

SchedulerSettings scheduler_settings(const InfoLookup& info, const SettingNote& note) {
    SchedulerSettings settings;
    if (const auto enable = info(info_keys::enable_automatic_checks)) {
        if (const auto on = parse_info_boolean(*enable)) {
            settings.automatic_checks = *on;
        } else {
            tell(note, std::string(info_keys::enable_automatic_checks) + " is not a boolean (\"" + *enable +
                           "\"); automatic checks stay off");
        }
    }
    if (const auto interval_text = info(info_keys::scheduled_check_interval)) {
        if (const auto interval = parse_seconds(*interval_text)) {
            if (*interval == 0) {
                settings.automatic_checks = false;
                tell(note, std::string(info_keys::scheduled_check_interval) + " is 0; automatic checks are off");
            } else if (*interval < minimum_check_interval_seconds) {
                settings.interval = minimum_check_interval_seconds;
                tell(note,
                     std::string(info_keys::scheduled_check_interval) + " is below the minimum; using 3600 seconds");
            } else {
                settings.interval = *interval;
            }
        } else {
            tell(note, std::string(info_keys::scheduled_check_interval) + " is not a number (\"" + *interval_text +
                           "\"); using 86400 seconds");
        }
    }
    return settings;
}

ScheduleDecision first_check(const SchedulerSettings& settings, std::optional<double> last_check, double now) {
    if (!settings.automatic_checks) {
        return {};
    }
    if (!last_check) {
        return {ScheduleDecision::Action::check_now, 0};
    }
    const double since = *last_check > now ? 0 : now - *last_check;
    if (since < settings.interval) {
        return {ScheduleDecision::Action::check_later, settings.interval - since};
    }
    return {ScheduleDecision::Action::check_now, 0};
}

}  // namespace kestrova::updater
