#include "kestrova/text.h"

#include <charconv>
#include <cmath>
#include <cstddef>

#include "kestrova/utf8.h"

namespace kestrova {

bool is_white_space_or_line_end(char32_t c) {
    switch (c) {
        case 0x0009:
        case 0x000A:
        case 0x000B:
        case 0x000C:
        case 0x000D:
        case 0x0020:
        case 0x0085:
        case 0x00A0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// One forward pass: the start of the first character that is not white space, and the end of the
// last one. Decoding forwards keeps multibyte characters whole.
std::string_view trim_white_space(std::string_view text) {
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

std::optional<double> parse_decimal(std::string_view text) {
    text = trim_white_space(text);
    // from_chars takes a minus sign but not a plus.
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string fill_placeholders(std::string_view pattern, std::string_view placeholder,
                              std::initializer_list<std::string_view> values, std::string (*escape)(std::string_view)) {
    std::string out;
    out.reserve(pattern.size());
    auto value = values.begin();
    std::size_t from = 0;
    for (auto at = pattern.find(placeholder); at != std::string_view::npos; at = pattern.find(placeholder, from)) {
        out.append(pattern, from, at - from);
        if (value != values.end()) {
            if (escape != nullptr)
                out += escape(*value);
            else
                out += *value;
            ++value;
        }
        from = at + placeholder.size();
    }
    out.append(pattern, from);
    return out;
}

std::string escape_markup(std::string_view text, MarkupPlace place) {
    const bool attribute = place == MarkupPlace::attribute;
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\r':
                out += attribute ? "&#13;" : "\r";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

MarkupFault markup_fault(std::string_view text) {
    if (sanitize_utf8(text) != text) return MarkupFault::not_utf8;
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return MarkupFault::control_character;
    return MarkupFault::none;
}

}  // namespace kestrova
