// What the files of kestrova_install_steps share and nobody else uses: the sentences an
// InstallError carries (one each, shown to the user and written to the update log) and the
// measure of free space that both the checks before a download and the unpacking keep to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrova::updater::install_detail {

inline constexpr std::string_view msg_length_unknown =
    "The update was not installed because the feed gives no length for it.";
inline constexpr std::string_view msg_length_wrong =
    "The update was not installed because its download is {} bytes where the feed announced {}.";
inline constexpr std::string_view msg_cannot_read_download =
    "The update was not installed because its download cannot be read ({}).";
inline constexpr std::string_view msg_no_key =
    "The update was not installed because this application has no SUPublicEDKey to verify it with.";
inline constexpr std::string_view msg_bad_key =
    "The update was not installed because this application's SUPublicEDKey is not base64 of a 32-byte key.";
inline constexpr std::string_view msg_no_signature =
    "The update was not installed because the feed gives no signature for it.";
inline constexpr std::string_view msg_bad_signature_text =
    "The update was not installed because its signature in the feed is not base64 of 64 bytes.";
inline constexpr std::string_view msg_signature_mismatch =
    "The update was not installed because its signature does not match: it was damaged or not made with this "
    "application's key.";
inline constexpr std::string_view msg_library_missing = "The update was not installed because {}.";
inline constexpr std::string_view msg_cannot_stage =
    "The update was not installed because no working directory can be made beside the application ({}).";
inline constexpr std::string_view msg_unreadable_archive =
    "The update was not installed because its archive cannot be read ({}).";
inline constexpr std::string_view msg_entry_absolute =
    "The update was not installed because its archive holds an absolute path (\"{}\").";
inline constexpr std::string_view msg_entry_dots =
    "The update was not installed because its archive holds a path with \".\" or \"..\" or an empty part (\"{}\").";
inline constexpr std::string_view msg_entry_outside =
    "The update was not installed because its archive holds \"{}\", which is not inside {}.";
inline constexpr std::string_view msg_entry_type =
    "The update was not installed because its archive holds \"{}\", which is a {}, not a file, directory or link.";
inline constexpr std::string_view msg_entry_through_link =
    "The update was not installed because its archive writes \"{}\" through a link.";
inline constexpr std::string_view msg_entry_twice =
    "The update was not installed because its archive holds \"{}\" twice.";
inline constexpr std::string_view msg_top_not_directory =
    "The update was not installed because {} in its archive is not a directory.";
inline constexpr std::string_view msg_no_bundle = "The update was not installed because its archive holds no {}.";
inline constexpr std::string_view msg_cannot_extract =
    "The update was not installed because unpacking \"{}\" failed ({}).";
inline constexpr std::string_view msg_no_info =
    "The update was not installed because the new bundle has no readable Info.plist.";
inline constexpr std::string_view msg_other_identifier =
    "The update was not installed because the new bundle is \"{}\", not this application (\"{}\").";
inline constexpr std::string_view msg_version_differs =
    "The update was not installed because the new bundle is version {} where the feed announced {}.";
inline constexpr std::string_view msg_not_newer =
    "The update was not installed because the new bundle's version {} is not newer than the running {}.";
inline constexpr std::string_view msg_no_launcher =
    "The update was not installed because the new bundle's launcher \"{}\" is missing or not executable.";
inline constexpr std::string_view msg_cannot_swap =
    "The update was not installed because the application could not be replaced ({}).";
inline constexpr std::string_view msg_cannot_mark_ready =
    "The update was not installed because it could not be kept for the next start ({}).";
inline constexpr std::string_view msg_no_exchange =
    "The update was not installed because this file system cannot swap two directories in one step.";
inline constexpr std::string_view msg_no_room =
    "The update was not installed because it needs {} MB on {} ({} and a reserve) and {} MB are free: free {} MB "
    "there and try again.";
inline constexpr std::string_view msg_no_room_unpacking =
    "The update was not installed because unpacking it would leave less than {} MB free on {}: free {} MB there and "
    "try again.";
inline constexpr std::string_view msg_staged_changed =
    "The update was not installed because its staged files changed after they were checked.";
inline constexpr std::string_view msg_delta_unusable = "The update's delta could not be used because {}.";
inline constexpr std::string_view msg_cannot_read_staged =
    "The update was not installed because its staged files cannot be read ({}).";

inline std::string errno_text(int error) { return std::generic_category().message(error); }

inline std::filesystem::path directory_of(const std::filesystem::path& path) {
    const std::filesystem::path parent = path.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

// A packaged Java application's archive holds JARs and a runtime image that are compressed already:
// its unpacked tree is rarely more than twice its size. Three times leaves a margin.
inline constexpr std::uint64_t unpacked_per_archive_byte = 3;
inline constexpr std::uint64_t most_reserved_bytes = 100u << 20;

// What the file system holding `fd` has free for this user, and what an install leaves free there
// for everything else: 5% of its size, at most 100 MiB.
struct Room {
    std::uint64_t available = 0;
    std::uint64_t reserve = 0;
};

std::optional<Room> room_at(int fd);

std::string megabytes(std::uint64_t bytes);

// Throws NoRoomError when `bytes` (what the update writes, `what` saying what that is) and the
// reserve do not fit in what the file system at `dir_fd` has free.
void check_room(int dir_fd, const std::filesystem::path& folder, std::uint64_t bytes, std::string_view what);

}  // namespace kestrova::updater::install_detail
