// The packaging tool's pure logic: finding and filling the reserved area of a launcher image,
// describing a burned record, and the texts a bundle is made of. Nothing here touches the file
// system, so every rule can be tested on bytes built in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrova/burned_in_data.h"
#include "kestrova/text.h"

namespace kestrova::pack {

// A refusal: the message says what is wrong and what to do, on one line, without the tool's name.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// --- The reserved area --------------------------------------------------------------------------

// Offset of the one unburned reserved area in a launcher image: a run of exactly
// reserved_area_size fill bytes, preceded by the image start or a byte that is not fill, and
// followed by a NUL. Throws PackError when there is none or more than one.
std::size_t find_reserved_area(std::span<const char> image);

// Whether the image holds exactly one unburned reserved area (a template ready to burn).
bool has_one_reserved_area(std::span<const char> image);

// Offset of the one burned area: reserved_area_size bytes that parse as a record followed by fill
// up to the area's closing NUL. Throws PackError when there is none or more than one.
std::size_t find_burned_area(std::span<const char> image);

// The longest record burn_record writes: one byte short of the area, so that at least one fill
// byte marks where the record ends and find_burned_area can tell the area from the bytes around it.
inline constexpr std::size_t max_record_size = reserved_area_size - 1;

// A copy of `image` with `record` written at the start of its one reserved area; the rest of the
// area keeps its fill. Throws PackError for an image without exactly one area or a record longer
// than max_record_size.
std::vector<char> burn_record(std::span<const char> image, std::span<const char> record);

// The record of a burned area as greppable "key: value" lines (see the tool's inspect --help).
// `area` is the reserved_area_size bytes of the area. Throws LaunchRecordError for a damaged record.
std::string describe_record(std::span<const char> area);

// Text with backslash and control bytes escaped (\\, \n, \r, \t, \xHH), so one value stays on one
// line of inspect's output or of an error message.
std::string escape_for_line(std::string_view text);

// A message with each "{}" filled in turn by the next value, each through escape_for_line.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values);

// --- Command-line values ------------------------------------------------------------------------

// A decimal or 0x-prefixed hexadecimal number no larger than `max`; nothing else (no sign, no
// spaces, no empty digits).
std::optional<std::uint32_t> parse_number(std::string_view text, std::uint32_t max);

// The longest bundle name: NAME.app is one file name, and file names hold at most 255 bytes.
inline constexpr std::size_t max_bundle_name_bytes = 255 - 4;

// The bundle name as a file name: non-empty, no '/', not "." or "..", at most max_bundle_name_bytes.
bool is_valid_bundle_name(std::string_view name);

// --- Bundle texts -------------------------------------------------------------------------------

inline constexpr std::string_view support_jar_name = "kestrova-support.jar";

// "-Djava.class.path=&&/a.jar:&&/b.jar" from the JAR file names in order. `&&` is the app directory
// the launcher substitutes at run time. Throws PackError for a name the class path cannot carry.
std::string class_path_option(std::span<const std::string> jar_file_names);

// The record's JVM options for a bundle: the class path of the support JAR then the user's JARs,
// then -Dapp.dir=&&, then the user's options in order.
std::vector<std::string> bundle_jvm_options(std::span<const std::string> jar_file_names,
                                            std::span<const std::string> user_options);

// "app.kestrova." + the name lowercased, every byte that is not an ASCII letter or digit made '-'.
std::string default_bundle_identifier(std::string_view name);

// `text` escaped for `place` (escape_markup). Throws PackError for text XML cannot carry
// (malformed UTF-8, control characters other than tab, newline and carriage return).
std::string xml_escape(std::string_view text, std::string_view what, MarkupPlace place = MarkupPlace::text);
// Only the check of xml_escape: throws the same PackError, naming `what`.
void check_markup(std::string_view text, std::string_view what);

struct PlistFields {
    std::string executable;
    std::string identifier;
    std::string name;
    std::string version;
    std::optional<std::string> feed_url;
    bool automatic_checks = false;                // SUEnableAutomaticChecks
    std::optional<std::uint32_t> check_interval;  // SUScheduledCheckInterval, seconds
    std::optional<std::string> public_ed_key;     // SUPublicEDKey, base64 of 32 bytes
    std::optional<std::string> icon_file;         // CFBundleIconFile, a file in Contents/Resources
    bool user_jvm_options = false;                // KestrovaUserJVMOptions: the user's jvm.options file is read
    bool class_data = true;                       // false writes KestrovaClassData false
    bool require_signed_feed = false;             // KestrovaRequireSignedFeed
    std::vector<std::string> update_channels{};   // KestrovaUpdateChannels, followed besides the default
    std::optional<std::string> desktop_integration = std::nullopt;  // KestrovaDesktopIntegration: "ask" or "yes"
    std::vector<std::string> desktop_categories = {};               // KestrovaDesktopCategories
    std::vector<std::string> desktop_mime_types = {};               // KestrovaDesktopMimeTypes
};

// The bundle's Info.plist as an XML property list.
std::string info_plist_xml(const PlistFields& fields);

}  // namespace kestrova::pack
