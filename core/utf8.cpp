#include "kestrova/utf8.h"

#include <cstdint>
#include <optional>

namespace kestrova {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

}  // namespace

std::optional<char32_t> decode_utf8(std::string_view in, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(in[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        ++pos;
        return std::nullopt;
    }
    if (pos + length > in.size()) {
        ++pos;
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(in[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return std::nullopt;
    }
    pos += length;
    return value;
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        if (!decode_utf8(text, pos)) return false;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

// Three-byte form of a UTF-16 code unit, surrogates included, as modified UTF-8 writes it.
void append_code_unit(std::string& out, char16_t unit) {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
}

// Decodes a three-byte sequence at `pos` whatever it encodes, surrogates included.
std::optional<char16_t> decode_code_unit(std::string_view in, std::size_t pos) {
    if (pos + 3 > in.size()) return std::nullopt;
    const auto b0 = static_cast<unsigned char>(in[pos]);
    const auto b1 = static_cast<unsigned char>(in[pos + 1]);
    const auto b2 = static_cast<unsigned char>(in[pos + 2]);
    if ((b0 & 0xF0) != 0xE0 || (b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return std::nullopt;
    return static_cast<char16_t>(((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu));
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string sanitize_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        append_utf8(out, decode_utf8(text, pos).value_or(replacement_character));
    }
    return out;
}

std::string to_modified_utf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t c = decode_utf8(utf8, pos).value_or(replacement_character);
        if (c == 0) {
            out += "\xC0\x80";
        } else if (c >= 0x10000) {
            const auto [high, low] = surrogate_pair(c);
            append_code_unit(out, high);
            append_code_unit(out, low);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

std::string from_modified_utf8(std::string_view modified) {
    std::string out;
    out.reserve(modified.size());
    for (std::size_t pos = 0; pos < modified.size();) {
        if (modified.compare(pos, 2, "\xC0\x80") == 0) {
            append_utf8(out, replacement_character);
            pos += 2;
            continue;
        }
        if (const auto unit = decode_code_unit(modified, pos); unit && is_high_surrogate(*unit)) {
            const auto low = decode_code_unit(modified, pos + 3);
            if (low && is_low_surrogate(*low)) {
                append_utf8(out, 0x10000 + ((char32_t(*unit) - 0xD800) << 10) + (char32_t(*low) - 0xDC00));
                pos += 6;
            } else {
                append_utf8(out, replacement_character);
                pos += 3;
            }
            continue;
        } else if (unit && is_low_surrogate(*unit)) {
            append_utf8(out, replacement_character);
            pos += 3;
            continue;
        }
        append_utf8(out, decode_utf8(modified, pos).value_or(replacement_character));
    }
    return out;
}

}  // namespace kestrova
