// When the updater checks on its own: the scheduling settings of the bundle's Info.plist and the
// delay before the first scheduled check. Pure logic: values come through a lookup, time is passed in.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kestrova/update_settings.h"

namespace kestrova::updater {

inline constexpr double default_check_interval_seconds = 86400;
// Shorter intervals are raised to this, so a typo cannot make the updater hammer the update site.
inline constexpr double minimum_check_interval_seconds = 3600;

using InfoLookup = kestrova::InfoLookup;
// Receives one line explaining a setting that was ignored or adjusted.
using SettingNote = std::function<void(std::string_view note)>;

struct SchedulerSettings {
    bool automatic_checks = false;
    // Seconds between scheduled checks, already clamped; meaningful only with automatic_checks.
    double interval = default_check_interval_seconds;
};

// "YES", "true" and "1" are true, "NO", "false" and "0" false (ignoring case and surrounding white
// space); anything else is nothing.
std::optional<bool> parse_info_boolean(std::string_view text);

// A decimal number of seconds (surrounding white space allowed); nothing when the text is not a
// finite number.
std::optional<double> parse_seconds(std::string_view text);

// SUEnableAutomaticChecks (default off) and SUScheduledCheckInterval (default 86400; below 3600
// counts as 3600; exactly 0 turns automatic checks off). Unreadable values count as absent and are
// reported through `note`.
SchedulerSettings scheduler_settings(const InfoLookup& info, const SettingNote& note = {});

struct ScheduleDecision {
    enum class Action { none, check_now, check_later };
    Action action = Action::none;
    double delay = 0;  // seconds, with check_later
};

// What start-up does: nothing when automatic checks are off; otherwise, with
// since = now - last_check (never checked = overdue; a last check in the future counts as now),
// check_later after interval - since when since < interval, else check_now.
ScheduleDecision first_check(const SchedulerSettings& settings, std::optional<double> last_check, double now);

}  // namespace kestrova::updater
