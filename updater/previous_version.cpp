#include "updater/previous_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "freedesktop/desktop_entries.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "protocol/version_comparator.h"
#include "updater/last_check_store.h"

namespace kestrova::updater {

namespace fs = std::filesystem;

namespace {

constexpr const char* record_name = "update.previous";
constexpr const char* started_name = "update.started";
// A first start that a signal from the user or the system ended: renamed from the started mark,
// holding the signal's number, so the next start tries the version again and says why.
constexpr const char* interrupted_name = "update.interrupted";
constexpr std::string_view way_back_line = "way back";
// A record of two versions a line each, and the way back's line.
constexpr std::size_t max_record_bytes = 2 * (max_skipped_version_bytes + 1) + way_back_line.size() + 1;

void log_to(UpdaterHost& host, std::string_view message) noexcept {
    try {
        host.log(message);
    } catch (...) {
        // Logging is never the reason a way back fails.
    }
}

// Writes `text` to `file` whole or not at all, and durably: a crash never leaves half a record.
bool write_durably(const fs::path& file, std::string_view text) {
    if (kestrova::replace_file(file, text, 0600) != 0) return false;
    kestrova::sync_directory(file.parent_path());
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
        const InfoDictionary info =
            host.read_property_list(kestrova::bundle_layout::info_plist_of(bundle)).value_or(InfoDictionary{});
        const auto launcher = read_bundle_facts(bundle, lookup_in(info)).launcher;
        const std::string executable = launcher ? launcher->filename().string() : std::string();
        const fs::path data_home = freedesktop::user_data_home(
            [&host](std::string_view name) { return host.environment_value(name); });
        if (executable.empty() || data_home.empty()) return;
        std::vector<fs::path> failed;
        for (const auto& entry : freedesktop::refresh_desktop_entries(bundle, executable, data_home, &failed))
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
    return info ? info_value(*info, info_keys::bundle_version) : std::string();
}

std::string installed_version(UpdaterHost& host, const fs::path& bundle) {
    const auto info = host.read_property_list(kestrova::bundle_layout::info_plist_of(bundle));
    return info ? info_value(*info, info_keys::bundle_version) : std::string();
}

std::optional<KeptVersions> read_record(const StagingArea& area) {
    const auto text = read_small_file(area.path() / record_name);
    return text ? parse_kept_versions(*text) : std::nullopt;
}

std::optional<fs::path> failed_file(UpdaterHost& host) {
    const auto identifier = host.info_string(info_keys::bundle_identifier);
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
    std::unique_ptr<StagingArea> put_back;  // after the exchange back: the other version, held to the exec
    std::thread removal;
    // The version this launch put back, or found put back for it: never offered again by it,
    // whatever the state folder allows.
    std::optional<std::string> put_back_version;
    // The countdown to the confirmation, and whether the first start is over (confirmed, put back,
    // interrupted): the countdown then does nothing.
    std::condition_variable countdown_over;
    bool over = false;
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
    // Read only when there is an area: most starts find none.
    std::optional<std::string> installed;
    for (auto& left : StagingArea::take_left(*bundle)) {
        const auto record = read_record(*left);
        if (record && !installed) installed = installed_version(host, *bundle);
        const KeptState kept = found == KeptState::not_kept && record
                                   ? kept_state(record, held_version(host, *left), *installed,
                                                exists_no_follow(left->path() / started_name))
                                   : KeptState::not_kept;
        if (kept == KeptState::not_kept) {
            left->leave_on_disk();
            continue;
        }
        found = kept;
        state.versions = *record;
        state.area = std::move(left);
        state.over = false;
        if (record->way_back) state.put_back_version = record->previous;
    }
    return found;
}

// The running application's name as the dialog and the alert give it, else its bundle's folder's.
std::string application_name(UpdaterHost& host, const fs::path& bundle) {
    const InfoLookup info = [&host](std::string_view key) { return host.info_string(key); };
    return application_name_in(info).value_or(bundle.stem().string());
}

// The first start is over: its SIGTERM, SIGINT and SIGHUP end the process as they would have.
void restore_termination_signals();

// Gives the area's marks over to a new record, durably: `versions` when set (the area then holds
// a kept version again), else none (an ordinary leftover). The started mark goes first, so that no
// crash between leaves a record that reads as a start that died.
void rewrite_record(UpdaterHost& host, const StagingArea& area, const std::optional<KeptVersions>& versions) {
    ::unlink((area.path() / started_name).c_str());
    ::unlink((area.path() / interrupted_name).c_str());
    if (!versions || !write_durably(area.path() / record_name, kept_versions_text(*versions))) {
        if (versions)
            log_to(host, "Could not record that " + area.path().string() + " holds version " + versions->previous +
                             ": it is removed as a leftover");
        ::unlink((area.path() / record_name).c_str());
    }
    sync_directory(area.path());
}

// The launcher of the bundle now at `bundle`; its Contents/MacOS/ alone when it has none, which
// then cannot be started.
fs::path launcher_of(UpdaterHost& host, const fs::path& bundle) {
    const InfoDictionary info =
        host.read_property_list(kestrova::bundle_layout::info_plist_of(bundle)).value_or(InfoDictionary{});
    return read_bundle_facts(bundle, lookup_in(info))
        .launcher.value_or(kestrova::bundle_layout::executables_of(bundle) / "");
}

// Exchanges the kept area's bundle back into place, holding the installation alone. `why` begins
// the log's records. Returns false, the area left on disk as it is, when that cannot be done now.
// `state.mutex` held, `state.area` set.
bool exchange_back(UpdaterHost& host, FirstStart& state, const std::string& why) {
    // Other copies of the installed version may still run (its JVM started for them): their tree is
    // not replaced under them, and the last of them leaves the exchange to the next start, which
    // finds the area as it is now (the clean-up of leftovers never removes a kept area).
    if (!host.lock_installation_exclusively()) {
        log_to(host, why + ", but other copies of it run: version " + state.versions.previous +
                         " is put back by the next start once they have quit");
        state.area->leave_on_disk();
        state.area.reset();
        return false;
    }
    try {
        state.area->swap_into_place();
    } catch (const std::exception& e) {
        log_to(host, why + ", and version " + state.versions.previous + " could not be put back: " + e.what());
        return false;
    }
    return true;
}

// Exchanges the previous version back into place. `state.mutex` held, `state.area` set.
std::optional<PutBack> put_previous_back(UpdaterHost& host, FirstStart& state) {
    const KeptVersions versions = state.versions;
    const auto bundle = bundle_path(host, state);
    if (!bundle) return std::nullopt;
    const std::string name = application_name(host, *bundle);
    // Remembered first: whatever happens after, the failed version is not installed again.
    std::string not_remembered;
    if (const auto file = failed_file(host)) {
        try {
            write_skipped_version(*file, versions.replaced_by);
        } catch (const std::exception& e) {
            not_remembered = e.what();
        }
    } else {
        not_remembered = "there is no state folder (set HOME)";
    }
    if (!not_remembered.empty())
        log_to(host, "Could not remember that version " + versions.replaced_by + " cannot start: " + not_remembered);
    // Whatever the state folder allows, this launch never offers it again.
    state.put_back_version = versions.replaced_by;
    if (!exchange_back(host, state, "Version " + versions.replaced_by + " could not start")) return std::nullopt;
    // The area now holds the failed version, kept as the way back's own previous version: should
    // the version put back fail too, the failure was not the newer one's.
    rewrite_record(host, *state.area, KeptVersions{versions.replaced_by, versions.previous, true});
    state.over = true;
    state.countdown_over.notify_all();
    restore_termination_signals();
    state.put_back = std::move(state.area);
    refresh_menu_entries(host, *bundle);
    const fs::path launcher = launcher_of(host, *bundle);
    log_to(host, "Version " + versions.replaced_by + " could not start: version " + versions.previous +
                     " is back in its place, starting " + launcher.string() + "; version " + versions.replaced_by +
                     " stays in " + state.put_back->path().string() + " until " + versions.previous +
                     " has shown it runs");
    std::string sentence = put_back_sentence(name, versions.replaced_by, versions.previous);
    if (!not_remembered.empty()) sentence += " " + not_remembered_sentence(versions.replaced_by, not_remembered);
    return PutBack{launcher, sentence};
}

// The way back failed as the version it replaced did: the failure is neither's, so the newer
// version goes back in place, its failure forgotten, and the older one is kept beside it for its
// next first start. Returns the newer launcher and what the user is told when `start_it` (this
// process runs neither), else nothing. `state.mutex` held, `state.area` set.
std::optional<PutBack> put_newer_back(UpdaterHost& host, FirstStart& state, bool start_it) {
    const KeptVersions versions = state.versions;  // previous: the newer, replaced_by: the way back
    const auto bundle = bundle_path(host, state);
    if (!bundle) return std::nullopt;
    const std::string why = "Version " + versions.replaced_by + ", put back because version " + versions.previous +
                            " could not start, could not start either, so that failure is neither's";
    if (const auto file = failed_file(host)) {
        try {
            if (read_skipped_version(*file) == versions.previous) fs::remove(*file);
        } catch (const std::exception& e) {
            log_to(host, "Could not forget that version " + versions.previous + " failed: " + e.what());
        }
    }
    state.put_back_version.reset();
    if (!exchange_back(host, state, why)) return std::nullopt;
    rewrite_record(host, *state.area, KeptVersions{versions.replaced_by, versions.previous, false});
    state.over = true;
    state.countdown_over.notify_all();
    restore_termination_signals();
    state.put_back = std::move(state.area);
    refresh_menu_entries(host, *bundle);
    log_to(host, why + ": version " + versions.previous + " is back in its place, and version " + versions.replaced_by +
                     " stays in " + state.put_back->path().string() + " until its next start has shown it runs");
    if (!start_it) return std::nullopt;
    const std::string name = application_name(host, *bundle);
    return PutBack{launcher_of(host, *bundle), name + " " + versions.replaced_by + " could not start either, so " +
                                                   name + " " + versions.previous + " is back in place."};
}

// --- Termination by the user or the system -----------------------------------------------------------

// The marks' paths for the handler, which may use nothing but async-signal-safe calls.
char started_mark_path[4096];
char interrupted_mark_path[4096];
char area_directory_path[4096];
constexpr int termination_signals[] = {SIGTERM, SIGINT, SIGHUP};

// Runs once (SA_RESETHAND), and ends the process as the signal would have: it is raised again
// with its default action, SA_NODEFER letting it through at once.
extern "C" void first_start_terminated(int signal) {
    const int saved = errno;
    if (const FileDescriptor fd(::open(started_mark_path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC)); fd.valid()) {
        char digits[4] = {static_cast<char>('0' + signal / 10 % 10), static_cast<char>('0' + signal % 10), '\n'};
        [[maybe_unused]] const auto written = ::write(fd.get(), signal >= 10 ? digits : digits + 1,
                                                      signal >= 10 ? 3 : 2);
    }
    ::rename(started_mark_path, interrupted_mark_path);
    if (const FileDescriptor directory(::open(area_directory_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        directory.valid())
        ::fsync(directory.get());
    errno = saved;
    ::raise(signal);
}

// Until the JVM takes these signals over (and ends through the launcher with 128 + the signal).
void unmark_on_termination(const StagingArea& area) {
    const auto copy = [](const fs::path& from, char* to) {
        const std::string text = from.string();
        if (text.size() >= sizeof started_mark_path) return false;
        std::memcpy(to, text.c_str(), text.size() + 1);
        return true;
    };
    if (!copy(area.path() / started_name, started_mark_path) ||
        !copy(area.path() / interrupted_name, interrupted_mark_path) || !copy(area.path(), area_directory_path))
        return;
    struct sigaction action {};
    action.sa_handler = &first_start_terminated;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int signal : termination_signals) {
        struct sigaction old {};
        // One the process was started to ignore (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

void restore_termination_signals() {
    for (const int signal : termination_signals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != &first_start_terminated) continue;
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
    }
}

// Marks the area as this process's first start. `state.mutex` held, `state.area` set.
void mark_first_start(UpdaterHost& host, FirstStart& state) {
    const fs::path interrupted = state.area->path() / interrupted_name;
    if (const auto text = read_small_file(interrupted)) {
        const int signal = std::atoi(text->c_str());
        log_to(host, "The last first start of version " + state.versions.replaced_by + " was ended by signal " +
                         std::to_string(signal) + " (" + (signal > 0 ? ::strsignal(signal) : "unknown") +
                         ") before it had shown it runs: a signal the user or a logout sent is not the version's "
                         "fault, so this start tries it again");
        ::unlink(interrupted.c_str());
    }
    if (!write_durably(state.area->path() / started_name, "")) {
        // Unmarked, a death of this start would read as a version never tried: the next start
        // would try it again instead of putting the previous one back.
        log_to(host, "Could not mark the first start of version " + state.versions.replaced_by +
                         ": should it die, the next start tries it again");
    }
    unmark_on_termination(*state.area);
    if (state.versions.way_back) {
        const std::string& failed = state.versions.previous;
        log_to(host, "Version " + state.versions.replaced_by + " was put back because version " + failed +
                         " could not start: should it fail too before it has shown it runs, version " + failed +
                         " goes back in place");
    }
    log_to(host, "First start of version " + state.versions.replaced_by + ": version " + state.versions.previous +
                     " stays in " + state.area->path().string() + " until it has shown it runs");
}

}  // namespace

std::optional<KeptVersions> parse_kept_versions(std::string_view text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() != 2 && !(lines.size() == 3 && lines[2] == way_back_line)) return std::nullopt;
    for (const auto version : {lines[0], lines[1]}) {
        if (version.empty() || version.size() > max_skipped_version_bytes) return std::nullopt;
        for (const char c : version)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    }
    return KeptVersions{std::string(lines[0]), std::string(lines[1]), lines.size() == 3};
}

std::string kept_versions_text(const KeptVersions& versions) {
    std::string text = versions.previous + '\n' + versions.replaced_by + '\n';
    if (versions.way_back) (text += way_back_line) += '\n';
    return text;
}

KeptState kept_state(const std::optional<KeptVersions>& record, std::string_view held_version,
                     std::string_view installed_version, bool started) {
    if (!record || held_version != record->previous || installed_version != record->replaced_by)
        return KeptState::not_kept;
    return started ? KeptState::died : KeptState::untried;
}

bool holds_kept_version(UpdaterHost& host, const StagingArea& area, const fs::path& bundle) {
    try {
        return kept_state(read_record(area), held_version(host, area), installed_version(host, bundle), false) !=
               KeptState::not_kept;
    } catch (...) {
        // Unsure is kept: a leftover stays on disk a while longer, a way back is never lost.
        return true;
    }
}

bool failed_to_start(const std::optional<std::string>& failed, std::string_view version) {
    return failed && protocol::compare_versions(*failed, version) != protocol::Ordering::ascending;
}

std::string not_remembered_sentence(std::string_view failed, std::string_view reason) {
    std::string sentence = "That ";
    sentence += failed;
    sentence += " cannot start could not be remembered (";
    sentence += reason;
    sentence +=
        "), so a later start may offer it again; make the state folder writable, with nothing in that "
        "file's place.";
    return sentence;
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
                             " ended before it had shown it runs: putting version " + state.versions.previous +
                             " back");
            return state.versions.way_back ? put_newer_back(host, state, true) : put_previous_back(host, state);
        }
        mark_first_start(host, state);
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
        return state.versions.way_back ? put_newer_back(host, state, false) : put_previous_back(host, state);
    } catch (const std::exception& e) {
        log_to(host, std::string("Putting the previous version back failed: ") + e.what());
    }
    return std::nullopt;
}

void interrupt_first_start(UpdaterHost& host, int signal) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (!state.area || state.over) return;
        state.over = true;
        state.countdown_over.notify_all();
        ::unlink((state.area->path() / started_name).c_str());
        sync_directory(state.area->path());
        log_to(host, "The first start of version " + state.versions.replaced_by + " was ended by signal " +
                         std::to_string(signal) + " (" + ::strsignal(signal) +
                         ") before it had shown it runs: a signal the user or a logout sent is not the version's "
                         "fault, so the next start tries it again, with version " +
                         state.versions.previous + " still kept");
        // Held until the process is gone, then found by the next start as the exchange left it.
        state.put_back = std::move(state.area);
    } catch (const std::exception& e) {
        log_to(host, std::string("Leaving the first start for the next one failed: ") + e.what());
    }
}

void application_starting(UpdaterHost& host) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (!state.area || state.over) return;
        log_to(host, "The application of version " + state.versions.replaced_by + " runs: it is confirmed in " +
                         std::to_string(confirmation_seconds) + " seconds, or as it ends with no failure before");
        std::thread([&host, &state] {
            std::unique_lock wait(state.mutex);
            if (state.countdown_over.wait_for(wait, std::chrono::seconds(confirmation_seconds),
                                              [&state] { return state.over; }))
                return;
            log_to(host, "The application of version " + state.versions.replaced_by + " has run for " +
                             std::to_string(confirmation_seconds) + " seconds: it is confirmed");
            wait.unlock();
            confirm_first_start(host);
        }).detach();
    } catch (const std::exception& e) {
        log_to(host, std::string("The previous version is removed at the end: ") + e.what());
    }
}

void confirm_first_start(UpdaterHost& host) {
    try {
        FirstStart& state = first_start();
        std::lock_guard lock(state.mutex);
        if (!state.area) return;
        state.over = true;
        state.countdown_over.notify_all();
        restore_termination_signals();
        // Without its record the area is an ordinary leftover: should the removal be cut short, the
        // next start's clean-up finishes it.
        rewrite_record(host, *state.area, std::nullopt);
        log_to(host, "Version " + state.versions.replaced_by + " has shown it runs: removing version " +
                         state.versions.previous + " kept in " + state.area->path().string());
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
        {
            FirstStart& state = first_start();
            std::lock_guard lock(state.mutex);
            if (failed_to_start(state.put_back_version, version)) return true;
        }
        const auto file = failed_file(host);
        return file && failed_to_start(read_skipped_version(*file), version);
    } catch (...) {
        return false;
    }
}

}  // namespace kestrova::updater
