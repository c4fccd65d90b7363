#include "tools/packaging.h"

#include <plist/plist.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <set>

#include "kestrova/burned_in_data.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"

namespace kestrova::pack {

namespace {

// --- Messages -----------------------------------------------------------------------------------

// The messages spell the area's size out for the reader.
static_assert(reserved_area_size == 16463 && max_record_size == 16462, "update the reserved area messages");

constexpr std::string_view msg_no_area =
    "no reserved area (a run of exactly 16463 '_' bytes ending in a NUL) in the launcher; it may "
    "already be burned: burn a fresh copy of the kestrova-launcher template";
constexpr std::string_view msg_many_areas =
    " reserved areas (runs of exactly 16463 '_' bytes ending in a NUL) in the launcher, where "
    "there must be one; use the kestrova-launcher template built by this project";
constexpr std::string_view msg_no_burned_area_template =
    "the file is an unburned launcher template and holds no launch record; burn one into it with "
    "kestrova-pack burn";
constexpr std::string_view msg_no_burned_area =
    "no launch record found (no reserved area of 16463 bytes holding a record followed by '_' fill "
    "and a NUL); inspect a launcher made by kestrova-pack burn or bundle";
constexpr std::string_view msg_many_burned_areas =
    " places in the file read as a burned launch record, where there must be one; inspect a "
    "launcher made by kestrova-pack burn or bundle";
constexpr std::string_view msg_record_too_long =
    "the launch record is {} bytes, more than the 16462 the 16463-byte reserved area holds (one "
    "'_' must remain to mark the record's end); use fewer or shorter JVM options and arguments";

constexpr bool is_fill(char c) { return c == reserved_area_fill; }

// Offsets of unburned areas, at most `limit` of them (the caller only tells one from many).
std::vector<std::size_t> unburned_areas(std::span<const char> image, std::size_t limit) {
    std::vector<std::size_t> found;
    std::size_t i = 0;
    while (i < image.size() && found.size() < limit) {
        if (!is_fill(image[i])) {
            ++i;
            continue;
        }
        // A run starts here: either at the image start or after a byte that is not fill, because
        // the loop skips whole runs. Its length must be exact: a longer run is some other data
        // (or two areas back to back), never an area with extra fill in front.
        const std::size_t start = i;
        while (i < image.size() && is_fill(image[i])) ++i;
        if (i - start == reserved_area_size && i < image.size() && image[i] == '\0') found.push_back(start);
    }
    return found;
}

constexpr std::string_view flag_names[8] = {"jvm_on_main_thread", "console", "flag_bit2", "aggressive_updates",
                                            "flag_bit4",          "bit5",    "bit6",      "bit7"};

const char* yes_no(bool value) { return value ? "true" : "false"; }

bool is_ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

// --- The reserved area --------------------------------------------------------------------------

std::size_t find_reserved_area(std::span<const char> image) {
    const auto found = unburned_areas(image, 2);
    if (found.empty()) throw PackError(std::string(msg_no_area));
    if (found.size() > 1) {
        // Count them all only now, for the message.
        throw PackError(std::to_string(unburned_areas(image, image.size()).size()) + std::string(msg_many_areas));
    }
    return found.front();
}

bool has_one_reserved_area(std::span<const char> image) { return unburned_areas(image, 2).size() == 1; }

std::size_t find_burned_area(std::span<const char> image) {
    const auto found = burned_area_offsets(image, 2);
    if (found.empty()) {
        throw PackError(std::string(has_one_reserved_area(image) ? msg_no_burned_area_template : msg_no_burned_area));
    }
    if (found.size() > 1)
        throw PackError(std::to_string(burned_area_offsets(image, image.size()).size()) +
                        std::string(msg_many_burned_areas));
    return found.front();
}

std::vector<char> burn_record(std::span<const char> image, std::span<const char> record) {
    if (record.size() > max_record_size) throw PackError(fill(msg_record_too_long, {std::to_string(record.size())}));
    const std::size_t offset = find_reserved_area(image);
    std::vector<char> burned(image.begin(), image.end());
    std::copy(record.begin(), record.end(), burned.begin() + static_cast<std::ptrdiff_t>(offset));
    return burned;
}

std::string describe_record(std::span<const char> area) {
    const BurnedInData record(area);
    const auto flags = static_cast<std::uint8_t>(area[0]);

    std::string flag_list;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (!flag_list.empty()) flag_list += ' ';
        flag_list += flag_names[bit];
    }
    constexpr char hex[] = "0123456789abcdef";
    std::string out = "flags: 0x";
    out += hex[flags >> 4];
    out += hex[flags & 0xF];
    out += " (" + (flag_list.empty() ? std::string("none") : flag_list) + ")\n";

    out += std::string("jvm_on_main_thread: ") + yes_no(record.jvm_on_main_thread) + "\n";
    out += std::string("console: ") + yes_no(record.console) + "\n";
    out += std::string("flag_bit2: ") + yes_no(record.flag_bit2) + "\n";
    out += std::string("aggressive_updates: ") + yes_no(record.aggressive_updates) + "\n";
    out += std::string("flag_bit4: ") + yes_no(record.flag_bit4) + "\n";
    out += "stack_size: " + std::to_string(record.stack_size) + "\n";
    out += "main_class: " + escape_for_line(record.main_class) + "\n";
    out += "jvm_option_count: " + std::to_string(record.jvm_options.size()) + "\n";
    for (const auto& option : record.jvm_options) out += "jvm_option: " + escape_for_line(option) + "\n";
    out += "app_arg_count: " + std::to_string(record.app_args.size()) + "\n";
    for (const auto& arg : record.app_args) out += "app_arg: " + escape_for_line(arg) + "\n";
    out += "record_size: " + std::to_string(record.record_size) + "\n";
    return out;
}

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    return fill_placeholders(pattern, values, &escape_for_line);
}

std::string escape_for_line(std::string_view text) {
    constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += hex[byte >> 4];
                    out += hex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// --- Command-line values ------------------------------------------------------------------------

std::optional<std::uint32_t> parse_number(std::string_view text, std::uint32_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars stops quietly at the first byte that is not a digit ("12k" reads as 12), so the
    // whole text must be consumed; for an unsigned type it takes no sign at all.
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool is_valid_bundle_name(std::string_view name) {
    // NAME.app must fit in one file name (255 bytes on Linux file systems).
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.size() <= max_bundle_name_bytes;
}

// --- Bundle texts -------------------------------------------------------------------------------

namespace {

constexpr std::string_view msg_jar_name_colon =
    "the JAR file name \"{}\" contains ':', which separates class path entries; rename the JAR";
constexpr std::string_view msg_jar_name_token =
    "the JAR file name \"{}\" contains \"&&\", which the launcher replaces with the app directory; "
    "rename the JAR";
constexpr std::string_view msg_jar_name_twice =
    "two JARs are named \"{}\" and would overwrite each other in Contents/Resources; rename one";
constexpr std::string_view msg_jar_name_support =
    "a JAR is named \"{}\" like the support JAR every bundle carries; rename it";
constexpr std::string_view msg_bad_utf8 = " is not valid UTF-8, which Info.plist needs; fix it";
constexpr std::string_view msg_plist_not_written =
    "Info.plist could not be written (out of memory); free some memory and bundle again";
constexpr std::string_view msg_control_char = " contains a control character, which Info.plist cannot carry; remove it";

}  // namespace

std::string class_path_option(std::span<const std::string> jar_file_names) {
    std::string option = "-Djava.class.path=";
    bool first = true;
    for (const auto& name : jar_file_names) {
        if (name.find(':') != std::string::npos) throw PackError(fill(msg_jar_name_colon, {name}));
        if (name.find("&&") != std::string::npos) throw PackError(fill(msg_jar_name_token, {name}));
        if (!first) option += ':';
        first = false;
        option += "&&/";
        option += name;
    }
    return option;
}

std::vector<std::string> bundle_jvm_options(std::span<const std::string> jar_file_names,
                                            std::span<const std::string> user_options) {
    std::set<std::string_view> seen;
    for (const auto& name : jar_file_names) {
        if (name == support_jar_name) throw PackError(fill(msg_jar_name_support, {name}));
        if (!seen.insert(name).second) throw PackError(fill(msg_jar_name_twice, {name}));
    }
    // The support JAR comes first. The launcher asks for OnlineUpdater and Launcher before any class
    // of the application, and the class loader opens the JARs in class path order until it finds
    // one: behind the application's JARs, those two lookups would open every one of them at each
    // start (41 JARs: 18 ms more, 1.5x the launch). First, they open only the small support JAR.
    std::vector<std::string> all_jars;
    all_jars.reserve(jar_file_names.size() + 1);
    all_jars.emplace_back(support_jar_name);
    all_jars.insert(all_jars.end(), jar_file_names.begin(), jar_file_names.end());

    std::vector<std::string> options;
    options.reserve(2 + user_options.size());
    options.push_back(class_path_option(all_jars));
    options.emplace_back("-Dapp.dir=&&");
    options.insert(options.end(), user_options.begin(), user_options.end());
    return options;
}

std::string default_bundle_identifier(std::string_view name) {
    std::string id = "app.kestrova.";
    for (const char c : name) {
        if (!is_ascii_alnum(c))
            id += '-';
        else if (c >= 'A' && c <= 'Z')
            id += static_cast<char>(c - 'A' + 'a');
        else
            id += c;
    }
    return id;
}

std::string xml_escape(std::string_view text, std::string_view what, MarkupPlace place) {
    check_markup(text, what);
    return escape_markup(text, place);
}

void check_markup(std::string_view text, std::string_view what) {
    switch (markup_fault(text)) {
        case MarkupFault::none:
            return;
        case MarkupFault::not_utf8:
            throw PackError(std::string(what) + std::string(msg_bad_utf8));
        case MarkupFault::control_character:
            throw PackError(std::string(what) + std::string(msg_control_char));
    }
}

std::string info_plist_xml(const PlistFields& fields) {
    const std::unique_ptr<void, decltype(&plist_free)> owned(plist_new_dict(), &plist_free);
    plist_t root = owned.get();
    // Text is checked against what the file can carry before libplist writes it, so that a bad
    // value is refused with its key named rather than written as something else.
    const auto text = [&](const char* key, std::string_view value) {
        xml_escape(value, key);
        plist_dict_set_item(root, key, plist_new_string(std::string(value).c_str()));
    };
    const auto boolean = [&](const char* key, bool value) { plist_dict_set_item(root, key, plist_new_bool(value)); };
    // In this order, the order a reader of the file sees: the same fields give the same bytes.
    text(info_keys::bundle_executable, fields.executable);
    if (fields.icon_file) text(info_keys::bundle_icon_file, *fields.icon_file);
    text(info_keys::bundle_identifier, fields.identifier);
    text(info_keys::bundle_info_dictionary_version, "6.0");
    text(info_keys::bundle_name, fields.name);
    text(info_keys::bundle_package_type, "APPL");
    text(info_keys::bundle_short_version, fields.version);
    text(info_keys::bundle_version, fields.version);
    if (fields.user_jvm_options) boolean(info_keys::user_jvm_options, true);
    if (fields.feed_url) text(info_keys::feed_url, *fields.feed_url);
    if (fields.public_ed_key) text(info_keys::public_ed_key, *fields.public_ed_key);
    if (fields.require_signed_feed) boolean(info_keys::require_signed_feed, true);
    if (!fields.update_channels.empty()) {
        std::string list;
        for (const std::string& channel : fields.update_channels) list += (list.empty() ? "" : ",") + channel;
        text(info_keys::update_channels, list);
    }
    if (fields.automatic_checks) boolean(info_keys::enable_automatic_checks, true);
    if (fields.check_interval)
        plist_dict_set_item(root, info_keys::scheduled_check_interval, plist_new_uint(*fields.check_interval));
    // Only the choice against the default is written: a bundle without the key keeps an archive
    // when it has a GUI.
    if (!fields.class_data) boolean(info_keys::class_data, false);
    // The entries the bundle writes for itself, as the launcher reads them: each value then ';'.
    const auto list = [](const std::vector<std::string>& values) {
        std::string joined;
        for (const auto& value : values) joined += value + ";";
        return joined;
    };
    if (fields.desktop_integration) {
        text(info_keys::desktop_integration, *fields.desktop_integration);
        if (!fields.desktop_categories.empty()) text(info_keys::desktop_categories, list(fields.desktop_categories));
        if (!fields.desktop_mime_types.empty()) text(info_keys::desktop_mime_types, list(fields.desktop_mime_types));
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const std::unique_ptr<char, decltype(&plist_to_xml_free)> written(xml, &plist_to_xml_free);
    if (xml == nullptr) throw PackError(std::string(msg_plist_not_written));
    return std::string(xml, length);
}

}  // namespace kestrova::pack
