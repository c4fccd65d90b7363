#include "updates/gate_logic.h"

#include "kestrova/utf8.h"

#include <cstddef>

namespace kestrova {

namespace {

constexpr std::string_view metadata_file_name = "metadata.properties";
constexpr std::string_view version_key = "app.version";
constexpr std::string_view revision_key = "app.revision";

// The characters of Apple's whitespaceAndNewlineCharacterSet, which the macOS launcher trims with:
// Unicode category Z*, the controls U+0009-U+000D, and NEXT LINE.
bool is_white_space_or_line_end(char32_t c) {
    switch (c) {
        case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
        case 0x0020: case 0x0085: case 0x00A0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// One forward pass: the start of the first character that is not white space, and the end of the
// last one. Decoding forwards keeps multibyte characters whole (a trailing byte 0x85 or 0xA0 of some
// other character is never mistaken for U+0085 or U+00A0).
std::string_view trim(std::string_view text) {
    std::size_t first = text.size();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const auto c = decode_utf8(text, pos);
        if (!c || !is_white_space_or_line_end(*c)) {
            if (first == text.size()) first = start;
            end = pos;
        }
    }
    return first < end ? text.substr(first, end - first) : std::string_view{};
}

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
            const std::string_view key = trim(line.substr(0, equals));
            const std::string_view value = trim(after.substr(0, after.find('=')));
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
