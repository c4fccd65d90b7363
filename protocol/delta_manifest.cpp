// The delta's manifest: one line per entry, fields split by single spaces, every name and version
// percent-encoded so that no field holds a space or a line end.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/text.h"
#include "protocol/delta.h"

namespace kestrova::protocol {

namespace {

constexpr std::string_view magic = "kestrova-delta 1";

constexpr std::string_view msg_not_delta = "the file is not a delta of this kind (no \"kestrova-delta 1\" line)";
constexpr std::string_view msg_truncated = "the delta's manifest is cut short; download the delta again";
constexpr std::string_view msg_bad_line = "the delta's manifest line {} is not understood; make the delta again";
constexpr std::string_view msg_bad_path =
    "the delta's manifest line {} names \"{}\", which is not a path inside the bundle";
constexpr std::string_view msg_out_of_order =
    "the delta's manifest line {} names \"{}\" out of tree order or twice, or below no directory listed before it";
constexpr std::string_view msg_bad_mode = "the delta's manifest line {} gives a mode past 0777";
constexpr std::string_view msg_too_large =
    "the delta's manifest line {} declares {} bytes, more than a delta may write";
constexpr std::string_view msg_tree_too_large = "the delta declares more than {} bytes in all; it cannot be applied";
constexpr std::string_view msg_bad_header = "the delta's manifest lacks its bundle name, versions or a 64-digit digest";

std::string encode(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '%') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", mode);
    return text;
}

const char* kind_word(DeltaKind kind) {
    switch (kind) {
        case DeltaKind::directory:
            return "dir";
        case DeltaKind::link:
            return "link";
        case DeltaKind::same:
            return "same";
        case DeltaKind::copy:
            return "copy";
        case DeltaKind::patch:
            return "patch";
        case DeltaKind::added:
            return "added";
    }
    return "";
}

// One line's fields, and the checks that turn them into values.
class Line {
public:
    Line(std::string_view text, std::size_t number) : number_(number) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t space = text.find(' ', start);
            fields_.push_back(text.substr(start, space - start));
            if (space == std::string_view::npos) break;
            start = space + 1;
        }
    }

    std::size_t size() const { return fields_.size(); }
    std::string_view word() const { return fields_[0]; }
    [[noreturn]] void fail(std::string_view pattern, std::optional<std::string_view> value = std::nullopt) const {
        const std::string line_number = std::to_string(number_);
        throw DeltaError(value ? fill_placeholders(pattern, "{}", {line_number, *value})
                               : fill_placeholders(pattern, "{}", {line_number}));
    }
    void expect(std::size_t count) const {
        if (fields_.size() != count) fail(msg_bad_line);
    }

    std::string text(std::size_t i) const {
        const std::string_view field = fields_[i];
        std::string out;
        for (std::size_t at = 0; at < field.size(); ++at) {
            if (field[at] != '%') {
                out += field[at];
                continue;
            }
            unsigned value = 0;
            const char* begin = field.data() + at + 1;
            if (at + 2 >= field.size() || std::from_chars(begin, begin + 2, value, 16).ptr != begin + 2)
                fail(msg_bad_line);
            out += static_cast<char>(value);
            at += 2;
        }
        return out;
    }
    std::uint64_t count(std::size_t i) const {
        std::uint64_t value = 0;
        const std::string_view field = fields_[i];
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (field.empty() || error != std::errc() || end != field.data() + field.size()) fail(msg_bad_line);
        return value;
    }
    unsigned mode(std::size_t i) const {
        unsigned value = 0;
        const std::string_view field = fields_[i];
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value, 8);
        if (field.empty() || error != std::errc() || end != field.data() + field.size()) fail(msg_bad_line);
        if (value > 0777) fail(msg_bad_mode);
        return value;
    }
    // A path below the bundle's top: relative, each part a plain name.
    std::string path(std::size_t i) const {
        std::string value = text(i);
        bool good = !value.empty() && value.size() <= 4096;
        for (std::size_t start = 0; good;) {
            const std::size_t slash = value.find('/', start);
            const std::string_view part = std::string_view(value).substr(start, slash - start);
            good = !part.empty() && part != "." && part != ".." && part.size() <= 255 &&
                   part.find('\0') == std::string_view::npos;
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        if (!good) fail(msg_bad_path, value);
        return value;
    }

private:
    std::vector<std::string_view> fields_;
    std::size_t number_;
};

// Checks that paths come in tree order (depth first, names in byte order, each below a directory
// listed before it): the order the reader writes and digests them in, and what rules out an entry
// twice or one written through a link the delta made.
class TreeOrder {
public:
    bool accept(std::string_view path, bool is_directory) {
        std::vector<std::string_view> parts;
        for (std::size_t start = 0;;) {
            const std::size_t slash = path.find('/', start);
            parts.push_back(path.substr(start, slash - start));
            if (slash == std::string_view::npos) break;
            start = slash + 1;
        }
        const std::size_t depth = parts.size() - 1;
        if (open_.size() < depth) return false;
        for (std::size_t i = 0; i < depth; ++i)
            if (open_[i] != parts[i]) return false;
        open_.resize(depth);
        last_.resize(depth + 1);
        if (!last_[depth].empty() && !(last_[depth] < parts[depth])) return false;
        last_[depth] = std::string(parts[depth]);
        if (is_directory) {
            open_.emplace_back(parts[depth]);
            last_.emplace_back();
        }
        return true;
    }

private:
    std::vector<std::string> open_;  // the directories the next entry may be in, top down
    std::vector<std::string> last_;  // the last name seen at each depth
};

}  // namespace

std::string format_delta_manifest(const DeltaManifest& m) {
    std::string out(magic);
    out += "\nbundle " + encode(m.bundle_name) + "\nfrom " + encode(m.from_version) + "\nto " + encode(m.to_version) +
           "\ndigest " + m.tree_digest + "\ntop " + octal(m.top_mode) + "\n";
    for (const DeltaEntry& e : m.entries) {
        out += kind_word(e.kind);
        out += " " + octal(e.mode);
        switch (e.kind) {
            case DeltaKind::directory:
                out += " " + encode(e.path);
                break;
            case DeltaKind::link:
                out += " " + encode(e.path) + " " + encode(e.target);
                break;
            case DeltaKind::same:
            case DeltaKind::added:
                out += " " + number(e.size) + " " + encode(e.path);
                break;
            case DeltaKind::copy:
                out += " " + number(e.size) + " " + encode(e.path) + " " + encode(e.source);
                break;
            case DeltaKind::patch:
                out += " " + number(e.size) + " " + encode(e.path) + " " + encode(e.source) + " " +
                       number(e.source_size);
                break;
        }
        out += "\n";
    }
    for (const std::string& path : m.removed) out += "removed " + encode(path) + "\n";
    out += "end\n";
    return out;
}

DeltaManifest parse_delta_manifest(std::string_view text, const DeltaLimits& limits) {
    if (!text.starts_with(magic) || (text.size() > magic.size() && text[magic.size()] != '\n'))
        throw DeltaError(std::string(msg_not_delta));
    if (!text.ends_with("\nend\n")) throw DeltaError(std::string(msg_truncated));

    DeltaManifest m;
    TreeOrder order;
    std::uint64_t total = 0;
    bool ended = false;
    std::size_t number = 1;
    for (std::size_t start = magic.size() + 1; start < text.size(); ++number) {
        const std::size_t end = text.find('\n', start);
        const Line line(text.substr(start, end - start), number + 1);
        start = end + 1;
        if (ended) line.fail(msg_bad_line);
        const std::string_view word = line.word();
        if (word == "end") {
            line.expect(1);
            ended = true;
        } else if (word == "bundle" || word == "from" || word == "to" || word == "digest" || word == "top") {
            line.expect(2);
            if (!m.entries.empty()) line.fail(msg_bad_line);
            if (word == "bundle") m.bundle_name = line.text(1);
            if (word == "from") m.from_version = line.text(1);
            if (word == "to") m.to_version = line.text(1);
            if (word == "digest") m.tree_digest = line.text(1);
            if (word == "top") m.top_mode = line.mode(1);
        } else if (word == "removed") {
            line.expect(2);
            m.removed.push_back(line.path(1));
        } else {
            DeltaEntry e;
            if (!m.removed.empty() || line.size() < 3) line.fail(msg_bad_line);
            e.mode = line.mode(1);
            if (word == "dir") {
                line.expect(3);
                e.kind = DeltaKind::directory;
                e.path = line.path(2);
            } else if (word == "link") {
                line.expect(4);
                e.kind = DeltaKind::link;
                e.path = line.path(2);
                e.target = line.text(3);
                if (e.target.empty() || e.target.size() > 4096 || e.target.find('\0') != std::string::npos)
                    line.fail(msg_bad_line);
            } else {
                if (word == "same" || word == "added") {
                    line.expect(4);
                    e.kind = word == "same" ? DeltaKind::same : DeltaKind::added;
                } else if (word == "copy") {
                    line.expect(5);
                    e.kind = DeltaKind::copy;
                    e.source = line.path(4);
                } else if (word == "patch") {
                    line.expect(6);
                    e.kind = DeltaKind::patch;
                    e.source = line.path(4);
                    e.source_size = line.count(5);
                } else {
                    line.fail(msg_bad_line);
                }
                e.size = line.count(2);
                e.path = line.path(3);
                if (e.kind == DeltaKind::same) e.source = e.path;
                if (e.kind == DeltaKind::same || e.kind == DeltaKind::copy) e.source_size = e.size;
                const std::uint64_t limit = e.kind == DeltaKind::patch ? max_patched_file_bytes : limits.max_file_bytes;
                if (e.size > limit) line.fail(msg_too_large, std::to_string(e.size));
                if (e.source_size > limit) line.fail(msg_too_large, std::to_string(e.source_size));
                total += e.size;
                if (total > limits.max_tree_bytes)
                    throw DeltaError(
                        fill_placeholders(msg_tree_too_large, "{}", {std::to_string(limits.max_tree_bytes)}));
            }
            if (!order.accept(e.path, e.kind == DeltaKind::directory)) line.fail(msg_out_of_order, e.path);
            m.entries.push_back(std::move(e));
        }
    }
    const bool hex = m.tree_digest.size() == 64 &&
                     m.tree_digest.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!ended) throw DeltaError(std::string(msg_truncated));
    if (m.bundle_name.empty() || m.bundle_name.find('/') != std::string::npos || m.bundle_name == "." ||
        m.bundle_name == ".." || m.from_version.empty() || m.to_version.empty() || !hex)
        throw DeltaError(std::string(msg_bad_header));
    return m;
}

std::uint64_t delta_written_bytes(const DeltaManifest& manifest) {
    std::uint64_t total = 0;
    for (const DeltaEntry& e : manifest.entries) total += e.size;
    return total;
}

}  // namespace kestrova::protocol
