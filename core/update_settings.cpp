#include "kestrova/update_settings.h"

#include "kestrova/bundle_facts.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"

namespace kestrova {

namespace {

constexpr std::string_view fallback_name = "This application";

// The value trimmed; nothing when it is absent or blank.
std::optional<std::string> trimmed(std::optional<std::string> value) {
    if (!value) return std::nullopt;
    const std::string_view kept = trim_white_space(*value);
    if (kept.empty()) return std::nullopt;
    return std::string(kept);
}

}  // namespace

bool UpdateSettings::has_usable_version() const { return bundle_version && !trim_white_space(*bundle_version).empty(); }

UpdateSettings read_update_settings(const InfoLookup& info) {
    UpdateSettings settings;
    settings.bundle_version = info(info_keys::bundle_version);
    settings.feed_url = trimmed(info(info_keys::feed_url));
    settings.display_version =
        trimmed(info(info_keys::bundle_short_version)).value_or(settings.bundle_version.value_or(""));
    settings.application_name = application_name_in(info).value_or(std::string(fallback_name));
    settings.identifier = info(info_keys::bundle_identifier).value_or("");
    settings.package_managed = info(info_keys::package_managed) == "YES";
    return settings;
}

}  // namespace kestrova
