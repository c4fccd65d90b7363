#include "protocol/release_notes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>

#include "kestrova/utf8.h"

namespace kestrova::protocol {

namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_html(std::string_view text) {
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        if (at + 1 < text.size()) {
            const char next = text[at + 1];
            if (is_ascii_letter(next) || next == '/' || next == '!' || next == '?') return true;
        }
    }
    return false;
}

// A character reference's value, as text: what no text may hold (NUL, a surrogate, past U+10FFFF)
// becomes U+FFFD.
void append_code_point(std::string& out, char32_t c) {
    if (c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    kestrova::append_utf8(out, c);
}

struct NamedEntity {
    std::string_view name;
    char32_t code_point;
};
constexpr std::array<NamedEntity, 20> named_entities{{
    {"amp", U'&'},        {"lt", U'<'},         {"gt", U'>'},          {"quot", U'"'},        {"apos", U'\''},
    {"nbsp", U' '},       {"ndash", U'\u2013'}, {"mdash", U'\u2014'},  {"hellip", U'\u2026'}, {"bull", U'\u2022'},
    {"lsquo", U'\u2018'}, {"rsquo", U'\u2019'}, {"ldquo", U'\u201C'},  {"rdquo", U'\u201D'},  {"copy", U'\u00A9'},
    {"reg", U'\u00AE'},   {"trade", U'\u2122'}, {"middot", U'\u00B7'}, {"laquo", U'\u00AB'},  {"raquo", U'\u00BB'},
}};

// The entity at text[at] ('&'): appends what it stands for and returns the length it took, or 0
// when it is none that is known (the '&' is then kept as written).
std::size_t decode_entity(std::string_view text, std::size_t at, std::string& out) {
    const std::size_t end = text.find(';', at);
    if (end == std::string_view::npos || end - at > 12 || end == at + 1) return 0;
    const std::string_view name = text.substr(at + 1, end - at - 1);
    if (name.front() == '#') {
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        const std::string_view digits = name.substr(hex ? 2 : 1);
        std::uint32_t value = 0;
        const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
        if (digits.empty() || error != std::errc{} || stop != digits.data() + digits.size()) return 0;
        append_code_point(out, static_cast<char32_t>(value));
        return end - at + 1;
    }
    for (const NamedEntity& entity : named_entities) {
        if (entity.name == name) {
            append_code_point(out, entity.code_point);
            return end - at + 1;
        }
    }
    return 0;
}

// Elements whose content is never text to read.
constexpr std::array<std::string_view, 5> hidden_elements{"script", "style", "head", "title", "template"};
// Elements that end a line.
constexpr std::array<std::string_view, 22> block_elements{"p",  "div",   "br",      "li",         "ul", "ol",
                                                          "h1", "h2",    "h3",      "h4",         "h5", "h6",
                                                          "tr", "table", "pre",     "blockquote", "hr", "dt",
                                                          "dd", "dl",    "section", "article"};

template <std::size_t N>
bool is_one_of(std::string_view name, const std::array<std::string_view, N>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The text of `html`, tags taken apart, white space collapsed, with '\n' where a block ends.
std::string text_of_html(std::string_view html) {
    std::string out;
    bool pending_space = false;
    const auto add_break = [&](std::string_view what) {
        pending_space = false;
        out += what;
    };
    std::size_t at = 0;
    while (at < html.size()) {
        const char c = html[at];
        if (c == '<') {
            if (html.substr(at, 4) == "<!--") {
                const std::size_t end = html.find("-->", at + 4);
                at = end == std::string_view::npos ? html.size() : end + 3;
                continue;
            }
            const std::size_t end = html.find('>', at);
            if (end == std::string_view::npos) break;  // a tag cut off: nothing after it is text
            std::string_view tag = html.substr(at + 1, end - at - 1);
            at = end + 1;
            const bool closing = !tag.empty() && tag.front() == '/';
            if (closing) tag.remove_prefix(1);
            std::string name;
            for (const char t : tag) {
                if (!is_ascii_letter(t) && !(t >= '0' && t <= '9')) break;
                name += lower_ascii(t);
            }
            if (!closing && is_one_of(name, hidden_elements)) {
                // Everything up to the element's end tag goes, whatever it holds.
                const std::string end_tag = "</" + name;
                std::size_t search = at;
                while (true) {
                    const std::size_t found = html.find('<', search);
                    if (found == std::string_view::npos) {
                        at = html.size();
                        break;
                    }
                    std::string candidate;
                    for (std::size_t i = found; i < html.size() && i < found + end_tag.size(); ++i)
                        candidate += lower_ascii(html[i]);
                    if (candidate == end_tag) {
                        const std::size_t close = html.find('>', found);
                        at = close == std::string_view::npos ? html.size() : close + 1;
                        break;
                    }
                    search = found + 1;
                }
                continue;
            }
            if (name == "li") {
                if (!closing) add_break("\n\u2022 ");
            } else if (is_one_of(name, block_elements)) {
                add_break("\n");
                if (name == "p" || (name.size() == 2 && name[0] == 'h')) out += '\n';
            } else if (name == "td" || name == "th") {
                pending_space = true;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            pending_space = true;
            ++at;
            continue;
        }
        if (pending_space && !out.empty() && out.back() != '\n' && out.back() != ' ') out += ' ';
        pending_space = false;
        if (c == '&') {
            if (const std::size_t taken = decode_entity(html, at, out); taken != 0) {
                at += taken;
                continue;
            }
        }
        out += c;
        ++at;
    }
    return out;
}

// Drops control characters but '\n' and '\t', trims each line, and keeps at most one blank line
// in a row and none at either end.
std::string tidy(std::string_view text) {
    std::string clean;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const auto c = decode_utf8(text, pos);
        if (!c) break;  // valid already; never reached
        if ((*c < 0x20 && *c != '\n' && *c != '\t') || *c == 0x7F || (*c >= 0x80 && *c < 0xA0)) continue;
        clean.append(text.substr(start, pos - start));
    }
    std::string out;
    std::size_t blank_lines = 0;
    std::size_t at = 0;
    while (at <= clean.size()) {
        const std::size_t end = std::min(clean.find('\n', at), clean.size());
        std::string_view line = std::string_view(clean).substr(at, end - at);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty()) {
            ++blank_lines;
        } else {
            if (!out.empty()) out += blank_lines > 0 ? "\n\n" : "\n";
            out += line;
            blank_lines = 0;
        }
        at = end + 1;
    }
    return out;
}

}  // namespace

std::optional<std::string> release_notes_text(std::string_view notes, std::size_t limit) {
    if (!is_valid_utf8(notes)) return std::nullopt;
    std::string text = tidy(is_html(notes) ? std::string_view(text_of_html(notes)) : notes);
    if (text.empty()) return std::nullopt;
    if (text.size() <= limit) return text;
    constexpr std::string_view marker = "\n\u2026";
    std::size_t cut = limit > marker.size() ? limit - marker.size() : 0;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += marker;
    return text;
}

bool is_fetchable_notes_link(std::string_view link) {
    std::string scheme;
    for (const char c : link.substr(0, std::min<std::size_t>(link.find(':'), 8))) scheme += lower_ascii(c);
    const std::size_t colon = link.find(':');
    return colon != std::string_view::npos && link.substr(colon).starts_with("://") &&
           (scheme == "http" || scheme == "https");
}

}  // namespace kestrova::protocol
