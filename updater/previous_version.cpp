#include "updater/previous_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "freedesktop/desktop_entries.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "protocol/version_comparator.h"
#include "updater/last_check_store.h"

namespace kestrova::sparkle {

namespace fs = std::filesystem;

namespace {

constexpr const char* record_name = "update.previous";
constexpr const char* started_name = "update.started";
// A record of two versions and two line breaks, with room to spare.
constexpr std::size_t max_record_bytes = 2 * (max_skipped_version_bytes + 1);

void log_to(UpdaterHost& host, std::string_view message) noexcept {
    try {
        host.log(message);
    } catch (...) {
        // Logging is never the reason a way back fails.
    }
}

void sync_directory(const fs::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes `text` to `file` whole or not at all, and durably: a crash never leaves half a record.
bool write_durably(const fs::path& file, std::string_view text) {
    if (kestrova::replace_file(file, text, 0600) != 0) return false;
    sync_directory(file.parent_path());
    return true;
}

std::optional<std::string> read_small_file(const fs::path& file) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string text;
    if (read_up_to(fd.get(), text, max_record_bytes + 1) != 0 || text.size() > max_record_bytes) return std::nullopt;
    return text;
}

bool exists_no_follow(const fs::path& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0;
}

// Points the menu entries written for `bundle` at the launcher it holds now: a version that renamed
// its executable would otherwise drop out of the menu (the entries' TryExec names the old one).
void refresh_menu_entries(UpdaterHost& host, const fs::path& bundle) noexcept {
    try {
        const auto info = host.read_property_list(kestrova::bundle_layout::info_plist_of(bundle));
        const std::string executable = info ? info_value(*info, "CFBundleExecutable") : std::string();
        const fs::path data_home = user_data_home(
            [&host](std::string_view name) { return host.environment_value(name); });
        if (executable.empty() || data_home.empty()) return;
        std::vector<fs::path> failed;
        for (const auto& entry : refresh_desktop_entries(bundle, executable, data_home, &failed))
            log_to(host, "Menu entry " + entry.string() + " now starts " + executable);
        for (const auto& entry : failed)
            log_to(host, "Menu entry " + entry.string() + " could not be pointed at " + executable +
                             "; write it again with kestrova-pack desktop-entry");
    } catch (const std::exception& e) {
        log_to(host, std::string("Menu entries were not refreshed: ") + e.what());
    }
}

std::string held_version(UpdaterHost& host, const StagingArea& area) {
    const auto info = host.read_property_list(kestrova::bundle_layout::info_plist_of(area.staged_bundle()));
    return info ? info_value(*info, "CFBundleVersion") : std::string();
}

std::optional<fs::path> failed_file(UpdaterHost& host) {
    const auto identifier = host.info_string("CFBundleIdentifier");
    const auto state = last_check_file([&host](std::string_view name) { return host.environment_value(name); },
                                       identifier.value_or(""));
    if (!state) return std::nullopt;
    return failed_version_file(*state);
}

// This process's first start of a new version: the area it took, locked until the process ends
// or execs (the lock is close-on-exec, so the previous launcher started in its place finds it
// free). Never destroyed: the end of the process may come on any thread.
struct FirstStart {
    std::mutex mutex;
    std::unique_ptr<StagingArea> area;
    KeptVersions versions;
    std::unique_ptr<StagingArea> put_back;  // after the exchange back: the failed version, held to the exec
    std::thread removal;
    // The bundle's path as the first call found it: the host tells it from the running executable,
    // which an exchange moves into the staging area.
    std::optional<fs::path> bundle;
};

FirstStart& first_start() {
    static FirstStart* state = new FirstStart;
    return *state;
}

std::optional<fs::path> bundle_path(UpdaterHost& host, FirstStart& state) {
    if (!state.bundle) state.bundle = host.bundle_path();
    return state.bundle;
}

// Takes the area that holds the previous version, when there is one nobody holds; the others are
// left, unlocked, for install_left_update. Returns what it found. `state.mutex` held.
KeptState take_kept_area(UpdaterHost& host, FirstStart& state) {
    if (state.area) return KeptState::untried;
    const auto bundle = bundle_path(host, state);
    if (!bundle) return KeptState::not_kept;
    KeptState found = KeptState::not_kept;
    for (auto& left : StagingArea::take_left(*bundle)) {
        const auto record_text = read_small_file(left->path() / record_name);
        const auto record = record_text ? parse_kept_versions(*record_text) : std::nullopt;
        const KeptState kept = found == KeptState::not_kept && record
                                   ? kept_state(record, held_version(host, *left),
                                                exists_no_follow(left->path() / started_name))
                                   : KeptState::not_kept;
        if (kept == KeptState::not_kept) {
            left->leave_on_disk();
            continue;
        }
        found = kept;
        state.versions = *record;
        state.area = std::move(left);
    }
    return found;
}

std::string application_name(UpdaterHost& host, const fs::path& bundle) {
    if (const auto name = host.info_string("CFBundleName"); name && !name->empty()) return *name;
    return bundle.stem().string();
}

// Exchanges the previous version back into place. `state.mutex` held, `state.area` set.
std::optional<PutBack> put_previous_back(UpdaterHost& host, FirstStart& state) {
    const KeptVersions versions = state.versions;
    const auto bundle = bundle_path(host, state);
    if (!bundle) return std::nullopt;
    const std::string name = application_name(host, *bundle);
    // Remembered first: whatever happens after, the failed version is not installed again.
    if (const auto file = failed_file(host)) {
        try {
            write_skipped_version(*file, versions.replaced_by);
        } catch (const std::exception& e) {
            log_to(host, "Could not remember that version " + versions.replaced_by + " cannot start: " + e.what());
        }
    }
    // Other copies of the failed version may still run (its JVM started for them): their tree is
    // not replaced under them, and the last of them leaves the previous version to the next start.
    if (!host.lock_installation_exclusively()) {
        log_to(host, "Version " + versions.replaced_by + " could not start, but other copies of it run: version " +
                         versions.previous + " is put back by the next start once they have quit");
        state.area->leave_on_disk();
        state.area.reset();
        return std::nullopt;
    }
    try {
        state.area->swap_into_place();
    } catch (const std::exception& e) {
        log_to(host, "Version " + versions.replaced_by + " could not start, and version " + versions.previous +
                         " could not be put back: " + e.what());
        return std::nullopt;
    }
    // The area now holds the failed version with no record: the previous launcher's start removes it.
    ::unlink((state.area->path() / record_name).c_str());
    ::unlink((state.area->path() / started_name).c_str());
    sync_directory(state.area->path());
    state.put_back = std::move(state.area);
    refresh_menu_entries(host, *bundle);
    const auto info = host.read_property_list(kestrova::bundle_layout::info_plist_of(*bundle));
    const fs::path launcher = kestrova::bundle_layout::executables_of(*bundle) /
                              info_value(info.value_or(InfoDictionary{}), "CFBundleExecutable");
    log_to(host, "Version " + versions.replaced_by + " could not start: version " + versions.previous +
                     " is back in its place, starting " + launcher.string());
    return PutBack{launcher, put_back_sentence(name, versions.replaced_by, versions.previous)};
}

}  // namespace

std::optional<KeptVersions> parse_kept_versions(std::string_view text) {
    const auto first = text.find('\n');
    if (first == std::string_view::npos || text.empty() || text.back() != '\n') return std::nullopt;
    KeptVersions versions{std::string(text.substr(0, first)),
                          std::string(text.substr(first + 1, text.size() - first - 2))};
    for (const auto* version : {&versions.previous, &versions.replaced_by}) {
        if (version->empty() || version->size() > max_skipped_version_bytes) return std::nullopt;
        for (const char c : *version)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    }
    return versions;
}

KeptState kept_state(const std::optional<KeptVersions>& record, std::string_view held_version, bool started) {
    if (!record || held_version != record->previous) return KeptState::not_kept;
    return started ? KeptState::died : KeptState::untried;
}

bool failed_to_start(const std::optional<std::string>& failed, std::string_view version) {
    return failed && compare_versions(*failed, version) != Ordering::ascending;
}

std::string put_back_sentence(std::string_view name, std::string_view failed, std::string_view previous) {
    std::string sentence(name);
    sentence += ' ';
    sentence += failed;
    sentence += " could not start, so ";
    sentence += name;
    sentence += ' ';
    sentence += previous;
    sentence += " was put back.";
    return sentence;
}

void swap_keeping_previous(UpdaterHost& host, std::unique_ptr<StagingArea>& area, std::string_view old_version,
                           std::string_view new_version) {
    const fs::path record = area->path() / record_name;
    std::string text(old_version);
    text += '\n';
    text += new_version;
    text += '\n';
    const bool kept = parse_kept_versions(text) && write_durably(record, text);
    if (!kept)
        log_to(host, "The previous version cannot be kept beside the new one: it is removed once the update is in");
    try {
        area->swap_into_place();
    } catch (...) {
        ::unlink(record.c_str());
        throw;
    }
    refresh_menu_entries(host, area->path().parent_path() / area->staged_bundle().filename());
    if (kept) {
        log_to(host, "Kept version " + std::string(old_version) + " in " + area->path().string() + " until version " +
                         std::string(new_version) + " has started");
        area->leave_on_disk();
    }
    area.reset();
}

std::optional<PutBack> begin_first_start(UpdaterHost& host) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (state.area) return std::nullopt;
        const KeptState found = take_kept_area(host, state);
        if (found == KeptState::not_kept) return std::nullopt;
        if (found == KeptState::died) {
            log_to(host, "The first start of version " + state.versions.replaced_by +
                             " ended before its application ran: putting version " + state.versions.previous + " back");
            return put_previous_back(host, state);
        }
        if (!write_durably(state.area->path() / started_name, "")) {
            // Unmarked, a death of this start would read as a version never tried: the next start
            // would try it again instead of putting the previous one back.
            log_to(host, "Could not mark the first start of version " + state.versions.replaced_by +
                             ": should it die, the next start tries it again");
        }
        log_to(host, "First start of version " + state.versions.replaced_by + ": version " + state.versions.previous +
                         " stays in " + state.area->path().string() + " until its application runs");
    } catch (const std::exception& e) {
        log_to(host, std::string("Looking for the previous version failed: ") + e.what());
    }
    return std::nullopt;
}

std::optional<PutBack> roll_back_first_start(UpdaterHost& host) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (take_kept_area(host, state) == KeptState::not_kept) return std::nullopt;
        return put_previous_back(host, state);
    } catch (const std::exception& e) {
        log_to(host, std::string("Putting the previous version back failed: ") + e.what());
    }
    return std::nullopt;
}

void confirm_first_start(UpdaterHost& host) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (!state.area) return;
        // Without its record the area is an ordinary leftover: should the removal be cut short, the
        // next start's clean-up finishes it.
        ::unlink((state.area->path() / record_name).c_str());
        ::unlink((state.area->path() / started_name).c_str());
        sync_directory(state.area->path());
        log_to(host, "Version " + state.versions.replaced_by + " started: removing version " + state.versions.previous +
                         " kept in " + state.area->path().string());
        state.removal = std::thread([area = std::move(state.area)]() mutable { area.reset(); });
    } catch (const std::exception& e) {
        log_to(host, std::string("Removing the previous version failed: ") + e.what() + " The next start removes it.");
    }
}

void finish_removing_previous() noexcept {
    FirstStart& state = first_start();
    std::lock_guard lock(state.mutex);
    if (state.removal.joinable()) state.removal.join();
}

bool version_failed_to_start(UpdaterHost& host, std::string_view version) {
    try {
        const auto file = failed_file(host);
        return file && failed_to_start(read_skipped_version(*file), version);
    } catch (...) {
        return false;
    }
}

}  // namespace kestrova::sparkle
