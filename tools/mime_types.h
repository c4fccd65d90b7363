// The file types a desktop entry opens: what the system's shared-mime-info database already knows,
// and the definitions of the types it does not, which an entry installs beside itself.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::pack {

// Whether `type` has the form of a media type, TYPE/SUBTYPE, each part of the characters RFC 6838
// allows in a name.
bool is_media_type(std::string_view type);

// The data directories the database is read from, most important first: $XDG_DATA_HOME (or
// ~/.local/share), then each of $XDG_DATA_DIRS (or /usr/local/share and /usr/share). Relative
// entries are ignored, as the base directory standard says.
std::vector<std::filesystem::path> mime_data_directories(const char* xdg_data_home, const char* home,
                                                         const char* xdg_data_dirs);

// Whether a data directory's mime database knows `type`: as a type of its own (mime/TYPE.xml or a
// line of mime/types) or as an alias of one (mime/aliases).
bool is_known_mime_type(std::string_view type, std::span<const std::filesystem::path> data_directories);

// The types a shared-mime-info definition file defines, in order. Throws PackError for a file that
// is not such a definition (not XML, another root element).
std::vector<std::string> mime_types_defined_in(const std::filesystem::path& definition);

}  // namespace kestrova::pack
