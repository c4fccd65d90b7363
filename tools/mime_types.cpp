#include "tools/mime_types.h"

#include <expat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <system_error>
#include <type_traits>

#include "tools/file_ops.h"
#include "tools/jlink_runtime.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_bad_definition =
    "--mime-definition \"{}\" is not a shared-mime-info definition ({}); give a file whose root is "
    "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">";

constexpr char namespace_separator = ' ';
constexpr std::string_view mime_namespace = "http://www.freedesktop.org/standards/shared-mime-info";

bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$&-^_.+").find(c) != std::string_view::npos;
}

bool is_name(std::string_view part) {
    return !part.empty() && part.size() <= 127 && is_name_byte(part.front()) && part.front() != '-' &&
           std::all_of(part.begin(), part.end(), is_name_byte);
}

// Whether a file of the database holds `type` as the first word of a line.
bool listed_in(const fs::path& file, std::string_view type) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const std::string_view first = std::string_view(line).substr(0, line.find(' '));
        if (first == type) return true;
    }
    return false;
}

struct DefinitionReader {
    int depth = 0;
    bool root_ok = false;
    std::vector<std::string> types;
};

void on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& reader = *static_cast<DefinitionReader*>(data);
    const std::string expected_root = std::string(mime_namespace) + namespace_separator + "mime-info";
    const std::string type_element = std::string(mime_namespace) + namespace_separator + "mime-type";
    if (reader.depth++ == 0) reader.root_ok = name == expected_root;
    if (reader.depth != 2 || name != type_element) return;
    for (auto attribute = attributes; *attribute != nullptr; attribute += 2)
        if (std::string_view(attribute[0]) == "type") reader.types.emplace_back(attribute[1]);
}

void on_end(void* data, const XML_Char*) { --static_cast<DefinitionReader*>(data)->depth; }

}  // namespace

bool is_media_type(std::string_view type) {
    const auto slash = type.find('/');
    return slash != std::string_view::npos && is_name(type.substr(0, slash)) && is_name(type.substr(slash + 1));
}

std::vector<fs::path> mime_data_directories(const char* xdg_data_home, const char* home, const char* xdg_data_dirs) {
    std::vector<fs::path> directories;
    if (xdg_data_home != nullptr && xdg_data_home[0] == '/')
        directories.emplace_back(xdg_data_home);
    else if (home != nullptr && home[0] != '\0')
        directories.push_back(fs::path(home) / ".local/share");
    const std::string_view dirs = xdg_data_dirs != nullptr && xdg_data_dirs[0] != '\0'
                                      ? std::string_view(xdg_data_dirs)
                                      : std::string_view("/usr/local/share:/usr/share");
    for (const auto& dir : split_list(dirs, ':'))
        if (dir.starts_with('/')) directories.emplace_back(dir);
    return directories;
}

bool is_known_mime_type(std::string_view type, std::span<const fs::path> data_directories) {
    std::error_code ec;
    return std::any_of(data_directories.begin(), data_directories.end(), [&](const fs::path& dir) {
        const fs::path mime = dir / "mime";
        return fs::is_regular_file(mime / (std::string(type) + ".xml"), ec) || listed_in(mime / "types", type) ||
               listed_in(mime / "aliases", type);
    });
}

std::vector<std::string> mime_types_defined_in(const fs::path& definition) {
    const auto bytes = read_file(definition);
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS("UTF-8", namespace_separator), &XML_ParserFree);
    DefinitionReader reader;
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), on_start, on_end);
    if (XML_Parse(parser.get(), bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) != XML_STATUS_OK)
        throw PackError(
            fill(msg_bad_definition, {definition.string(), XML_ErrorString(XML_GetErrorCode(parser.get()))}));
    if (!reader.root_ok) throw PackError(fill(msg_bad_definition, {definition.string(), "another root element"}));
    return reader.types;
}

}  // namespace kestrova::pack
