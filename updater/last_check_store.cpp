#include "updater/last_check_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"
#include "platform/user_directories.h"

namespace kestrova::updater {

namespace {

constexpr std::string_view state_folder = "kestrova-updater";
constexpr std::string_view state_suffix = ".last-check";
// The file holds one number; anything longer is not ours.
constexpr std::size_t max_file_bytes = 64;
constexpr std::string_view skipped_suffix = ".skipped-version";
constexpr std::string_view failed_suffix = ".failed-version";
constexpr std::string_view failed_delta_suffix = ".failed-delta";

std::string errno_text(std::string_view what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace

std::optional<std::filesystem::path> last_check_file(const EnvironmentLookup& environment,
                                                     std::string_view bundle_identifier) {
    if (bundle_identifier.empty() || bundle_identifier == "." || bundle_identifier == ".." ||
        bundle_identifier.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto base = platform::user_state_directory(environment);
    if (!base) {
        return std::nullopt;
    }
    return *base / state_folder / (std::string(bundle_identifier) + std::string(state_suffix));
}

std::string format_absolute_time(double absolute_time) {
    std::array<char, 400> buffer{};  // enough for any double in fixed notation
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), absolute_time,
                                            std::chars_format::fixed);
    if (error != std::errc{}) {
        return "0";
    }
    return std::string(buffer.data(), end);
}

std::optional<double> parse_absolute_time(std::string_view text) { return parse_decimal(text); }

namespace {

// The whole of a small state file; nothing when it is missing, unreadable or longer than `limit`.
std::optional<std::string> read_state_file(const std::filesystem::path& file, std::size_t limit, std::string* refused) {
    // Without O_NONBLOCK a named pipe there would hold the opening thread until a writer came.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        if (refused != nullptr) {
            *refused = file.string() + " is not a regular file";
        }
        return std::nullopt;
    }
    std::string text;
    if (read_up_to(fd.get(), text, limit + 1) != 0 || text.size() > limit) {
        return std::nullopt;
    }
    return text;
}

// Replaces `file` atomically with `text`: a temporary file in the same directory, renamed over it.
void write_state_file(const std::filesystem::path& file, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        throw LastCheckError("cannot create " + file.parent_path().string() + ": " + ec.message());
    }
    std::string temp_name = file.string() + ".XXXXXX";
    FileDescriptor fd(::mkstemp(temp_name.data()));
    if (fd.get() < 0) {
        throw LastCheckError(errno_text("cannot create a temporary file beside " + file.string(), errno));
    }
    const auto fail = [&temp_name](std::string_view what, int error) {
        ::unlink(temp_name.c_str());
        throw LastCheckError(errno_text(std::string(what) + " " + temp_name, error));
    };
    if (const int error = write_all(fd.get(), text); error != 0) {
        fail("cannot write", error);
    }
    if (::fsync(fd.get()) != 0) {
        fail("cannot flush", errno);
    }
    if (fd.close() != 0) {
        fail("cannot close", errno);
    }
    if (::rename(temp_name.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp_name.c_str());
        throw LastCheckError(errno_text("cannot replace " + file.string(), error));
    }
}

}  // namespace

std::optional<double> read_last_check(const std::filesystem::path& file, std::string* refused) {
    const auto text = read_state_file(file, max_file_bytes, refused);
    return text ? parse_absolute_time(*text) : std::nullopt;
}

void write_last_check(const std::filesystem::path& file, double absolute_time) {
    write_state_file(file, format_absolute_time(absolute_time) + "\n");
}

namespace {

std::filesystem::path beside_last_check(const std::filesystem::path& last_check, std::string_view suffix) {
    std::string name = last_check.filename().string();
    if (name.size() > state_suffix.size() && name.ends_with(state_suffix)) {
        name.resize(name.size() - state_suffix.size());
    }
    return last_check.parent_path() / (name + std::string(suffix));
}

}  // namespace

std::filesystem::path skipped_version_file(const std::filesystem::path& last_check) {
    return beside_last_check(last_check, skipped_suffix);
}

std::filesystem::path failed_version_file(const std::filesystem::path& last_check) {
    return beside_last_check(last_check, failed_suffix);
}

std::filesystem::path failed_delta_file(const std::filesystem::path& last_check) {
    return beside_last_check(last_check, failed_delta_suffix);
}

std::optional<std::string> read_skipped_version(const std::filesystem::path& file, std::string* refused) {
    const auto text = read_state_file(file, max_skipped_version_bytes + 1, refused);
    if (!text || text->empty() || text->back() != '\n') {
        return std::nullopt;
    }
    std::string version = text->substr(0, text->size() - 1);
    if (version.empty() || version.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    return version;
}

void write_skipped_version(const std::filesystem::path& file, std::string_view version) {
    if (version.empty() || version.size() > max_skipped_version_bytes ||
        version.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) {
        throw LastCheckError("the version " + std::string(version) + " cannot be stored on one line");
    }
    write_state_file(file, std::string(version) + "\n");
}

}  // namespace kestrova::updater
