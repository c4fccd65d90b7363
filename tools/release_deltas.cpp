#include "tools/release_deltas.h"

#include <algorithm>
#include <system_error>

#include "protocol/appcast.h"
#include "protocol/version_comparator.h"

namespace kestrova::pack {

std::vector<std::string> delta_base_versions(std::optional<std::string_view> appcast, std::string_view version,
                                             const std::filesystem::path& site, std::string_view name,
                                             std::size_t count) {
    std::vector<std::string> versions;
    if (!appcast || count == 0) return versions;
    protocol::Appcast parsed;
    try {
        parsed = protocol::parse_appcast(*appcast);
    } catch (const protocol::AppcastError&) {
        return versions;  // the release refuses such a feed on its own, with its reason
    }
    for (const auto& item : parsed.items) {
        const bool for_us = !item.os || *item.os == protocol::this_operating_system;
        if (!for_us || item.channel ||
            protocol::compare_versions(item.version, version) != protocol::Ordering::ascending)
            continue;
        // A version's archive name must stay inside the site, as release's own check keeps it.
        if (item.version.find('/') != std::string::npos || item.version.starts_with('.')) continue;
        std::error_code ec;
        const auto archive = site / (std::string(name) + "-" + item.version + ".tar.gz");
        if (!std::filesystem::is_regular_file(archive, ec)) continue;
        if (std::find(versions.begin(), versions.end(), item.version) == versions.end())
            versions.push_back(item.version);
    }
    std::stable_sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        return protocol::compare_versions(a, b) == protocol::Ordering::descending;
    });
    if (versions.size() > count) versions.resize(count);
    return versions;
}

std::string delta_file_name(std::string_view name, std::string_view from, std::string_view to) {
    return std::string(name) + "-" + std::string(to) + "-from-" + std::string(from) + ".delta";
}

}  // namespace kestrova::pack
