#include "updates/gate_logic.h"

#include "kestrova/text.h"

#include <cstddef>

namespace kestrova {

namespace {

constexpr std::string_view metadata_file_name = "metadata.properties";
constexpr std::string_view version_key = "app.version";
constexpr std::string_view revision_key = "app.revision";

}  // namespace

std::optional<std::string> metadata_url_for_feed(std::string_view feed_url) {
    const std::size_t slash = feed_url.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string url(feed_url.substr(0, slash + 1));
    url += metadata_file_name;
    return url;
}

Metadata parse_metadata(std::optional<std::string_view> text) {
    Metadata metadata;
    if (!text) return metadata;
    std::string_view rest = *text;
    while (true) {
        const std::size_t line_end = rest.find('\n');
        const std::string_view line = rest.substr(0, line_end);
        if (const std::size_t equals = line.find('='); equals != std::string_view::npos) {
            const std::string_view after = line.substr(equals + 1);
            const std::string_view key = trim_white_space(line.substr(0, equals));
            const std::string_view value = trim_white_space(after.substr(0, after.find('=')));
            metadata.insert_or_assign(std::string(key), std::string(value));
        }
        if (line_end == std::string_view::npos) break;
        rest.remove_prefix(line_end + 1);
    }
    return metadata;
}

std::optional<std::string> metadata_version(const Metadata& metadata) {
    const auto version = metadata.find(version_key);
    const auto revision = metadata.find(revision_key);
    if (version == metadata.end() || revision == metadata.end()) return std::nullopt;
    return version->second + "." + revision->second;
}

}  // namespace kestrova
