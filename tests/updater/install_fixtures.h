// Bundles, archives and tree snapshots on real files, for the tests of installing updates: the
// archives are written with libarchive, the property lists read with the launcher's own reader.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrova/info_plist_keys.h"
#include "platform/bundle_info.h"
#include "updater/updater_host.h"

namespace kestrova::updater::testing::install {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, std::string_view text, mode_t mode = 0644) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every entry under `root` with its content (files), target (links) and mode: the tree's state.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> state;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return state;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(e.path().c_str(), &info);
        std::string value = std::to_string(info.st_mode) + " ";
        if (e.is_symlink())
            value += fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            value += read_file(e.path());
        state[e.path().lexically_relative(root).string()] = value;
    }
    return state;
}

inline std::string plist(std::string_view identifier, std::string_view version, std::string_view executable = "Demo") {
    namespace keys = kestrova::info_keys;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    for (const auto& [key, value] :
         {std::pair{keys::bundle_identifier, identifier}, std::pair{keys::bundle_version, version},
          std::pair{keys::bundle_executable, executable}})
        out += std::string("<key>") + key + "</key><string>" + std::string(value) + "</string>";
    return out + "</dict></plist>\n";
}

struct Entry {
    std::string path;
    mode_t type = AE_IFREG;
    std::string content;  // a file's bytes, a link's target
    mode_t perm = 0644;
    bool hardlink = false;
};

inline void write_archive(const fs::path& file, const std::vector<Entry>& entries) {
    archive* a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    archive_write_add_filter_gzip(a);
    archive_write_open_filename(a, file.c_str());
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, e.perm);
        if (e.hardlink)
            archive_entry_set_hardlink(entry, e.content.c_str());
        else if (e.type == AE_IFLNK)
            archive_entry_set_symlink(entry, e.content.c_str());
        else if (e.type == AE_IFREG)
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        archive_write_header(a, entry);
        if (e.type == AE_IFREG && !e.hardlink) archive_write_data(a, e.content.data(), e.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

inline std::vector<Entry> bundle_entries(std::string_view version, std::string_view identifier = "app.demo") {
    return {{"Demo.app/", AE_IFDIR, "", 0755},
            {"Demo.app/Contents/", AE_IFDIR, "", 0755},
            {"Demo.app/Contents/Info.plist", AE_IFREG, plist(identifier, version)},
            {"Demo.app/Contents/MacOS/", AE_IFDIR, "", 0755},
            {"Demo.app/Contents/MacOS/Demo", AE_IFREG, "new launcher", 0755},
            {"Demo.app/Contents/lib", AE_IFLNK, "MacOS"}};
}

inline std::optional<InfoDictionary> read_plist(const fs::path& path) {
    if (!fs::exists(path)) return std::nullopt;
    return platform::read_info_dictionary(path.string());
}

}  // namespace kestrova::updater::testing::install
