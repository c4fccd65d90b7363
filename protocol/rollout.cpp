#include "protocol/rollout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <exception>
#include <random>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"

namespace kestrova::protocol {

namespace {

constexpr std::string_view state_folder = "kestrova-updater";
constexpr std::size_t max_number_file_bytes = 64;
constexpr std::size_t max_channels_file_bytes = 4096;
constexpr std::size_t max_channel_name_bytes = 64;

std::optional<std::filesystem::path> state_file(const std::optional<std::filesystem::path>& state_directory,
                                                std::string_view identifier, std::string_view suffix) {
    if (!state_directory || identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
        return std::nullopt;
    return *state_directory / state_folder / (std::string(identifier) + std::string(suffix));
}

// A small regular file's whole text; nothing when it is missing, not a regular file (a named pipe
// would block), unreadable or over `limit` bytes.
std::optional<std::string> read_small_file(const std::filesystem::path& file, std::size_t limit) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    std::string text;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        read_up_to(fd.get(), text, limit + 1) != 0 || text.size() > limit)
        return std::nullopt;
    return text;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

bool is_leap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
    constexpr std::array<unsigned, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string_view> split_on_spaces(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        const std::size_t start = at;
        while (at < text.size() && text[at] != ' ' && text[at] != '\t') ++at;
        if (at > start) words.push_back(text.substr(start, at - start));
    }
    return words;
}

// A zone's offset east of UTC in seconds.
std::optional<std::int64_t> zone_offset(std::string_view zone) {
    if ((zone.front() == '+' || zone.front() == '-') && zone.size() == 5) {
        const auto digits = parse_unsigned(zone.substr(1));
        if (!digits || zone.substr(1).find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
        const std::uint64_t hours = *digits / 100, minutes = *digits % 100;
        if (hours > 23 || minutes > 59) return std::nullopt;
        const auto seconds = static_cast<std::int64_t>(hours * 3600 + minutes * 60);
        return zone.front() == '-' ? -seconds : seconds;
    }
    const std::string name = lower(zone);
    struct Named {
        std::string_view name;
        int hours;
    };
    constexpr std::array<Named, 12> named{{{"ut", 0},
                                           {"utc", 0},
                                           {"gmt", 0},
                                           {"z", 0},
                                           {"est", -5},
                                           {"edt", -4},
                                           {"cst", -6},
                                           {"cdt", -5},
                                           {"mst", -7},
                                           {"mdt", -6},
                                           {"pst", -8},
                                           {"pdt", -7}}};
    for (const Named& entry : named)
        if (entry.name == name) return std::int64_t{entry.hours} * 3600;
    return std::nullopt;
}

// The system's random source; should it fail, the clock's nanoseconds, which spread users as well
// and keep a failure of the source from ever reaching a launch.
std::uint64_t draw_random_number() {
    try {
        std::random_device source;
        return (std::uint64_t{source()} << 32) ^ source();
    } catch (const std::exception&) {
        return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) *
               0x9E3779B97F4A7C15ull;
    }
}

}  // namespace

int rollout_group_of(std::uint64_t random_number) { return static_cast<int>(random_number % rollout_groups); }

bool rollout_group_is_due(std::int64_t published, std::int64_t interval, int group, std::int64_t now) {
    if (interval <= 0) return true;
    // An item dated later than the clock is no one's yet, as the framework has it.
    if (now < published) return false;
    // Divided rather than multiplied: a hostile interval cannot overflow.
    return (now - published) / interval >= group;
}

std::optional<std::int64_t> parse_rfc822_date(std::string_view text) {
    std::vector<std::string_view> words = split_on_spaces(trim_white_space(text));
    // "Wed," in front: the day name says nothing the date does not.
    if (!words.empty() && words.front().ends_with(',')) words.erase(words.begin());
    if (words.size() != 5) return std::nullopt;

    const auto day = parse_unsigned(words[0]);
    constexpr std::array<std::string_view, 12> months{"jan", "feb", "mar", "apr", "may", "jun",
                                                      "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string month_name = lower(words[1]);
    const auto month_at = std::find(months.begin(), months.end(), month_name);
    auto year = parse_unsigned(words[2]);
    if (!day || month_at == months.end() || !year || (words[2].size() != 4 && words[2].size() != 2))
        return std::nullopt;
    // Two-digit years: RFC 822's own form; the ones a feed can mean are this century's.
    if (words[2].size() == 2) *year += 2000;
    const auto month = static_cast<unsigned>(month_at - months.begin() + 1);
    if (*day < 1 || *day > days_in_month(static_cast<std::int64_t>(*year), month)) return std::nullopt;

    const std::string_view clock = words[3];
    std::array<std::uint64_t, 3> hms{0, 0, 0};
    std::size_t fields = 0, at = 0;
    while (at <= clock.size() && fields < 3) {
        const std::size_t colon = std::min(clock.find(':', at), clock.size());
        const std::string_view part = clock.substr(at, colon - at);
        const auto value = parse_unsigned(part);
        if (!value || part.size() != 2) return std::nullopt;
        hms[fields++] = *value;
        at = colon + 1;
        if (colon == clock.size()) break;
    }
    if (at <= clock.size() || fields < 2 || hms[0] > 23 || hms[1] > 59 || hms[2] > 60) return std::nullopt;

    const auto offset = zone_offset(words[4]);
    if (!offset) return std::nullopt;
    const std::int64_t days = days_from_civil(static_cast<std::int64_t>(*year), month, static_cast<unsigned>(*day));
    return days * 86400 + static_cast<std::int64_t>(hms[0] * 3600 + hms[1] * 60 + hms[2]) - *offset;
}

std::optional<std::filesystem::path> rollout_number_file(const std::optional<std::filesystem::path>& state_directory,
                                                         std::string_view identifier) {
    return state_file(state_directory, identifier, ".rollout");
}

RolloutNumber user_rollout_number(const std::optional<std::filesystem::path>& file) {
    const auto read_kept = [&]() -> std::optional<std::uint64_t> {
        const auto text = read_small_file(*file, max_number_file_bytes);
        return text ? parse_unsigned(trim_white_space(*text)) : std::nullopt;
    };
    if (file)
        if (const auto kept = read_kept()) return {*kept, true};

    const std::uint64_t drawn = draw_random_number();
    if (!file) return {drawn, false};

    // Written aside and linked into place, never over a file: of two copies that draw at once, the
    // first number written is the one both keep.
    std::error_code ec;
    std::filesystem::create_directories(file->parent_path(), ec);
    std::string aside = (file->parent_path() / ("." + file->filename().string() + ".XXXXXX")).string();
    FileDescriptor fd(::mkstemp(aside.data()));
    if (fd.get() < 0) return {drawn, false};
    const bool written = ::fchmod(fd.get(), 0600) == 0 && write_all(fd.get(), std::to_string(drawn) + "\n") == 0 &&
                         fd.close() == 0;
    const bool linked = written && ::link(aside.c_str(), file->c_str()) == 0;
    ::unlink(aside.c_str());
    if (linked) return {drawn, true};
    if (const auto kept = read_kept()) return {*kept, true};
    return {drawn, false};
}

std::vector<std::string> parse_channel_list(std::string_view text) {
    std::vector<std::string> channels;
    while (!text.empty()) {
        const std::size_t line_end = std::min(text.find('\n'), text.size());
        std::string_view line = trim_white_space(text.substr(0, line_end));
        text.remove_prefix(std::min(line_end + 1, text.size()));
        if (line.starts_with('#')) continue;
        std::size_t at = 0;
        while (at < line.size()) {
            const std::size_t end = std::min(line.find_first_of(", \t\r", at), line.size());
            const std::string name(line.substr(at, end - at));
            if (!name.empty() && std::find(channels.begin(), channels.end(), name) == channels.end())
                channels.push_back(name);
            at = end + 1;
        }
    }
    return channels;
}

bool is_channel_name(std::string_view name) {
    if (name.empty() || name.size() > max_channel_name_bytes) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

std::optional<std::filesystem::path> user_channels_file(const std::optional<std::filesystem::path>& state_directory,
                                                        std::string_view identifier) {
    return state_file(state_directory, identifier, ".channels");
}

std::vector<std::string> read_user_channels(const std::optional<std::filesystem::path>& file) {
    if (!file) return {};
    const auto text = read_small_file(*file, max_channels_file_bytes);
    return text ? parse_channel_list(*text) : std::vector<std::string>{};
}

}  // namespace kestrova::protocol
