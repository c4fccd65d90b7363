// Small text helpers of the update framework's settings and state files.
#pragma once

#include <string_view>

namespace kestrova::sparkle {

// `text` without the spaces, tabs and line ends at either end.
inline std::string_view trim_ascii_space(std::string_view text) {
    constexpr std::string_view space = " \t\r\n";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace kestrova::sparkle
