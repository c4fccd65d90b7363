#include "protocol/signed_feed.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "protocol/metadata.h"

namespace kestrova::protocol {

namespace {

namespace ed = ed25519;

// The signature line of each file: a comment after the feed's root element, which every XML reader
// skips, and a key of its own in metadata.properties, which the gate's parser does not read.
struct LineForm {
    std::string_view prefix;
    std::string_view suffix;
    std::string_view name;  // what the signatures say they sign, so one file's never passes for the other's
};
constexpr LineForm appcast_line{"<!-- kestrova-signature ", " -->", "appcast.xml"};
constexpr LineForm metadata_line{"kestrova.signature=", "", "metadata.properties"};

const LineForm& line_form(FeedFile file) { return file == FeedFile::appcast ? appcast_line : metadata_line; }

// Prepended to what is signed: no signature of an archive, or of anything else made with the
// release key, is ever a signature of a feed file.
constexpr std::string_view signing_context = "kestrova signed feed file 1\n";
constexpr std::string_view signature_field = " ed25519=";
constexpr std::size_t max_signatures = 4;

constexpr std::string_view state_folder = "kestrova-updater";
constexpr std::string_view state_suffix = ".feed-state";
constexpr std::size_t max_state_bytes = 1024;

std::string signing_input(std::string_view message, FeedFile file) {
    std::string input(signing_context);
    input += line_form(file).name;
    input += '\n';
    input += message;
    return input;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<unsigned char> parse_hex_byte(std::string_view two) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(two.data(), two.data() + two.size(), value, 16);
    if (two.size() != 2 || error != std::errc{} || end != two.data() + two.size()) return std::nullopt;
    return static_cast<unsigned char>(value);
}

// The value of `name=` at the front of `fields`, which then moves past it and its space.
std::optional<std::string_view> take_field(std::string_view& fields, std::string_view name) {
    if (!fields.starts_with(name) || fields.size() <= name.size() || fields[name.size()] != '=') return std::nullopt;
    const std::size_t end = std::min(fields.find(' '), fields.size());
    const std::string_view value = fields.substr(name.size() + 1, end - name.size() - 1);
    fields.remove_prefix(end == fields.size() ? end : end + 1);
    return value;
}

// The identifier as the signature line carries it: percent escapes for all but letters, digits, '.',
// '_' and a '-' that follows no '-', so that any identifier fits on one line without a space and
// without the "--" an XML comment may not hold.
std::string encode_identifier(std::string_view identifier) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : identifier) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || c == '.' || c == '_' || (c == '-' && !out.ends_with('-'));
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

std::optional<std::string> decode_identifier(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const auto byte = i + 2 < text.size() ? parse_hex_byte(text.substr(i + 1, 2)) : std::nullopt;
        if (!byte) return std::nullopt;
        out += static_cast<char>(*byte);
        i += 2;
    }
    return out;
}

std::string stamp_fields(const FeedStamp& stamp) {
    std::string out = "serial=" + std::to_string(stamp.serial) + " signed=" + format_utc(stamp.signed_at);
    if (stamp.expires_at) out += " expires=" + format_utc(*stamp.expires_at);
    return out + " for=" + encode_identifier(stamp.identifier);
}

}  // namespace

std::string format_utc(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32] = "";
    if (::gmtime_r(&time, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "?";
    return text;
}

std::optional<std::int64_t> parse_utc(std::string_view text) {
    // Exactly YYYY-MM-DDTHH:MM:SSZ; out-of-range fields are caught by formatting the result back.
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t size) { return *parse_number<int>(text.substr(at, size)); };
    std::tm parts{};
    parts.tm_year = field(0, 4) - 1900;
    parts.tm_mon = field(5, 2) - 1;
    parts.tm_mday = field(8, 2);
    parts.tm_hour = field(11, 2);
    parts.tm_min = field(14, 2);
    parts.tm_sec = field(17, 2);
    const std::int64_t seconds = ::timegm(&parts);
    if (format_utc(seconds) != text) return std::nullopt;
    return seconds;
}

std::string sign_feed_file(std::string_view body, FeedFile file, const FeedStamp& stamp,
                           std::span<const ed::Seed> keys) {
    const LineForm& form = line_form(file);
    std::string out(body);
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += form.prefix;
    out += stamp_fields(stamp);
    const std::string input = signing_input(out, file);
    for (const ed::Seed& key : keys) {
        out += signature_field;
        out += ed::encode_base64(ed::sign(key, bytes_of(input)));
    }
    out += form.suffix;
    out += '\n';
    return out;
}

std::optional<SignedFeedFile> read_signed_feed_file(std::string_view text, FeedFile file) {
    const LineForm& form = line_form(file);
    if (text.size() < 2 || text.back() != '\n') return std::nullopt;
    const std::size_t previous = text.rfind('\n', text.size() - 2);
    const std::size_t line_start = previous == std::string_view::npos ? 0 : previous + 1;
    std::string_view line = text.substr(line_start, text.size() - 1 - line_start);
    if (!line.starts_with(form.prefix) || !line.ends_with(form.suffix)) return std::nullopt;
    line.remove_suffix(form.suffix.size());
    const std::size_t signatures_at = line.find(signature_field);
    if (signatures_at == std::string_view::npos) return std::nullopt;

    SignedFeedFile out;
    out.file = file;
    out.body = text.substr(0, line_start);
    out.message = text.substr(0, line_start + signatures_at);
    std::string_view fields = line.substr(form.prefix.size(), signatures_at - form.prefix.size());
    const auto serial = take_field(fields, "serial");
    const auto signed_at = take_field(fields, "signed");
    if (!serial || !signed_at) return std::nullopt;
    std::optional<std::string_view> expires;
    if (fields.starts_with("expires=")) expires = take_field(fields, "expires");
    const auto identifier = take_field(fields, "for");
    if (!identifier || !fields.empty()) return std::nullopt;
    const auto serial_number = parse_number<std::uint64_t>(*serial);
    const auto signed_time = parse_utc(*signed_at);
    const auto expires_time = expires ? parse_utc(*expires) : std::nullopt;
    auto decoded = decode_identifier(*identifier);
    if (!serial_number || !signed_time || (expires && !expires_time) || !decoded || identifier->empty())
        return std::nullopt;
    out.stamp = {*serial_number, *signed_time, expires_time, std::move(*decoded)};

    std::string_view signatures = line.substr(signatures_at);
    while (!signatures.empty()) {
        if (!signatures.starts_with(signature_field) || out.signatures.size() == max_signatures) return std::nullopt;
        signatures.remove_prefix(signature_field.size());
        const std::size_t end = std::min(signatures.find(' '), signatures.size());
        const auto signature = ed::signature_from_base64(signatures.substr(0, end));
        if (!signature) return std::nullopt;
        out.signatures.push_back(*signature);
        signatures.remove_prefix(end);
    }
    return out;
}

bool is_signed_by(const SignedFeedFile& signed_file, const ed::PublicKey& key) {
    const std::string input = signing_input(signed_file.message, signed_file.file);
    return std::any_of(signed_file.signatures.begin(), signed_file.signatures.end(),
                       [&](const ed::Signature& signature) { return ed::verify(key, bytes_of(input), signature); });
}

FeedPolicy feed_policy(const InfoLookup& info) {
    FeedPolicy policy;
    policy.require_signature = info(info_keys::require_signed_feed) == "YES";
    if (!policy.require_signature) return policy;
    if (const auto key = info(info_keys::public_ed_key)) policy.key = ed::public_key_from_base64(*key);
    policy.identifier = info(info_keys::bundle_identifier).value_or("");
    return policy;
}

FeedCheck check_feed_file(std::string_view text, FeedFile file, const FeedPolicy& policy, const FeedState& state,
                          std::int64_t now) {
    FeedCheck check;
    if (!policy.require_signature) {
        check.accepted = true;
        check.body = text;
        return check;
    }
    if (!policy.key) {
        check.refusal = "the application requires a signed feed but carries no valid SUPublicEDKey to check it with";
        return check;
    }
    const auto signed_file = read_signed_feed_file(text, file);
    if (!signed_file) {
        check.refusal = "it carries no signature of the form this application requires, which it requires of every " +
                        std::string(line_form(file).name);
        return check;
    }
    if (!is_signed_by(*signed_file, *policy.key)) {
        check.refusal = "its signature is not one of this application's release key (SUPublicEDKey)";
        return check;
    }
    const FeedStamp& stamp = signed_file->stamp;
    if (stamp.identifier != policy.identifier) {
        check.refusal = "it was signed for another application (" + stamp.identifier + ")";
        return check;
    }
    const AcceptedStamp& seen = state.of(file);
    if (stamp.serial < seen.serial) {
        check.refusal = "it is an older file than one accepted before (serial " + std::to_string(stamp.serial) +
                        ", accepted " + std::to_string(seen.serial) + "), replayed by the site or the network";
        return check;
    }
    if (stamp.signed_at < seen.signed_at) {
        check.refusal = "it was signed at " + format_utc(stamp.signed_at) + ", before one accepted before (" +
                        format_utc(seen.signed_at) + ")";
        return check;
    }
    // The clock may be wrong, but time never runs back past what the release key has vouched for.
    const std::int64_t effective_now = std::max({now, state.appcast.signed_at, state.metadata.signed_at});
    if (stamp.expires_at && *stamp.expires_at <= effective_now) {
        check.refusal = "the site has not been refreshed since " + format_utc(stamp.signed_at) + " (it expired at " +
                        format_utc(*stamp.expires_at) + ")";
        return check;
    }
    check.accepted = true;
    check.body = signed_file->body;
    check.stamp = stamp;
    return check;
}

bool remember_stamp(FeedState& state, FeedFile file, const FeedStamp& stamp) {
    AcceptedStamp& seen = state.of(file);
    if (stamp.serial <= seen.serial && stamp.signed_at <= seen.signed_at) return false;
    seen.serial = std::max(seen.serial, stamp.serial);
    seen.signed_at = std::max(seen.signed_at, stamp.signed_at);
    return true;
}

FeedCheck FeedGuard::check(std::string_view text, FeedFile file, std::int64_t now) const {
    if (!policy_.require_signature) return check_feed_file(text, file, policy_, {}, now);
    return check_feed_file(text, file, policy_, state_file_ ? read_feed_state(*state_file_) : FeedState{}, now);
}

int FeedGuard::accept(FeedFile file, const FeedCheck& check) const {
    if (!check.accepted || !check.stamp || !state_file_) return 0;
    FeedState state = read_feed_state(*state_file_);
    if (!remember_stamp(state, file, *check.stamp)) return 0;
    return write_feed_state(*state_file_, state);
}

std::optional<std::filesystem::path> feed_state_file(const std::optional<std::filesystem::path>& state_directory,
                                                     std::string_view identifier) {
    if (!state_directory || identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
        return std::nullopt;
    return *state_directory / state_folder / (std::string(identifier) + std::string(state_suffix));
}

FeedState read_feed_state(const std::filesystem::path& file) {
    FeedState state;
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    std::string text;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        read_up_to(fd.get(), text, max_state_bytes + 1) != 0 || text.size() > max_state_bytes)
        return state;
    const Metadata entries = parse_metadata(text);
    const auto number = [&](std::string_view key) -> std::uint64_t {
        const auto it = entries.find(key);
        return it == entries.end() ? 0 : parse_number<std::uint64_t>(it->second).value_or(0);
    };
    state.appcast = {number("appcast.serial"), static_cast<std::int64_t>(number("appcast.signed"))};
    state.metadata = {number("metadata.serial"), static_cast<std::int64_t>(number("metadata.signed"))};
    return state;
}

int write_feed_state(const std::filesystem::path& file, const FeedState& state) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return ec.value();
    std::string text;
    for (const auto& [name, stamp] : {std::pair{"appcast", state.appcast}, std::pair{"metadata", state.metadata}}) {
        text += std::string(name) + ".serial=" + std::to_string(stamp.serial) + "\n";
        text += std::string(name) + ".signed=" + std::to_string(stamp.signed_at) + "\n";
    }
    return replace_file(file, text, 0600);
}

}  // namespace kestrova::protocol
