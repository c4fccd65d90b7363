#include "platform/desktop_integration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "freedesktop/desktop_entries.h"
#include "freedesktop/menu_entries.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/desktop_integration.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/text.h"
#include "kestrova/update_settings.h"
#include "platform/alert.h"
#include "platform/bundle_info.h"
#include "platform/linux/child_process.h"
#include "platform/linux/environment.h"
#include "platform/property_list.h"
#include "platform/user_directories.h"

namespace kestrova::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view msg_failed =
    "Could not add {} to the desktop's menu ({}); it starts as usual, and "
    "the next start does not try again: see docs/desktop.md to add it by hand.";
constexpr std::string_view msg_not_remembered =
    "Could not remember the answer about the menu entry in {} ({}); make that folder writable, or the "
    "question comes again.";
constexpr std::string_view ask_title = "Add {} to the menu?";
constexpr std::string_view ask_text =
    "{} can put itself in your desktop's applications menu, with its icon and the file types it opens, "
    "so that you can start it from there. It asks only this once.";
constexpr std::string_view button_no = "Not Now";
constexpr std::string_view button_yes = "Add to Menu";

// Beside the update settings' state of the same bundle.
constexpr std::string_view state_folder = "kestrova-updater";
constexpr std::string_view state_suffix = ".desktop-integration";

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    return fill_placeholders(pattern, values, nullptr);
}

std::optional<std::string> environment(std::string_view name) { return linux_backend::captured_variable(name); }

// A directory's owner and whether this user may change it: a copy the user owns (not root's) on a
// file system that takes writes.
bool owned_by_user(const fs::path& bundle) {
    struct stat status {};
    return ::stat(bundle.c_str(), &status) == 0 && status.st_uid == ::geteuid() && ::geteuid() != 0;
}

bool writable(const fs::path& bundle) { return ::access(bundle.c_str(), W_OK) == 0; }

std::optional<fs::path> state_file(std::string_view identifier) {
    if (identifier.empty() || identifier == "." || identifier == ".." || identifier.find('/') != std::string_view::npos)
        return std::nullopt;
    const auto base = user_state_directory(environment);
    if (!base) return std::nullopt;
    return *base / state_folder / (std::string(identifier) + std::string(state_suffix));
}

std::optional<bool> remembered_answer(const std::optional<fs::path>& file) {
    if (!file) return std::nullopt;
    // Non-blocking and no links: a pipe or a link put there must not hold or mislead the start.
    const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    char text[16] = {};
    struct stat status {};
    ssize_t n = -1;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    return desktop_integration_answer(std::string_view(text, static_cast<std::size_t>(n)));
}

void remember(const std::optional<fs::path>& file, bool yes) {
    if (!file) return;
    std::error_code ec;
    fs::create_directories(file->parent_path(), ec);
    const std::string_view text = desktop_integration_answer_text(yes);
    const int fd = ec ? -1 : ::open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = ec ? ec.value() : errno;
    if (fd >= 0) ::close(fd);
    if (!written)
        std::fprintf(stderr, "%s\n", fill(msg_not_remembered, {file->string(), std::strerror(error)}).c_str());
}

// "a;b;" as the keys hold them, each value in turn.
std::vector<std::string> list_of(const std::optional<std::string>& value) {
    std::vector<std::string> items;
    if (!value) return items;
    std::size_t from = 0;
    while (from < value->size()) {
        auto end = value->find(';', from);
        if (end == std::string::npos) end = value->size();
        if (end > from) items.push_back(value->substr(from, end - from));
        from = end + 1;
    }
    return items;
}

// update-mime-database on the user's database, as the tool runs it; its failure's reason.
std::optional<std::string> update_mime_database(const fs::path& mime) {
    const auto program = linux_backend::find_program("update-mime-database");
    if (!program) return std::nullopt;  // the desktop reads the definition when the database is next updated
    linux_backend::ChildSetup setup;
    setup.output = linux_backend::ChildStream::to_null();
    linux_backend::Child tool;
    if (const int spawned = linux_backend::start_child({*program, mime.string()}, setup, tool); spawned != 0)
        return std::string(std::strerror(spawned));
    const linux_backend::ChildEnd end = tool.reap();
    if (end.exited && end.exit_status == 0) return std::nullopt;
    return "exit status " + std::to_string(end.exited ? end.exit_status : 128 + end.signal);
}

void write_entries(const fs::path& bundle, const fs::path& applications, const std::string& name) {
    const auto info = read_info_dictionary(bundle_layout::info_plist_of(bundle).string());
    const auto value = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    freedesktop::MenuEntryRequest request;
    request.bundle = bundle;
    request.info = value;
    request.directory = applications;
    request.categories = list_of(value(info_keys::desktop_categories));
    request.mime_types = list_of(value(info_keys::desktop_mime_types));
    const fs::path definition = bundle_layout::resources_of(bundle) / desktop_mime_definition_file;
    std::error_code ec;
    if (!request.mime_types.empty() && fs::is_regular_file(definition, ec)) request.mime_definition = definition;
    request.update_mime_database = update_mime_database;
    try {
        const auto result = freedesktop::write_menu_entries(request);
        for (const auto& note : result.notes) std::fprintf(stderr, "%s\n", note.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", fill(msg_failed, {name, e.what()}).c_str());
    }
}

void integrate(const fs::path& bundle, bool console) noexcept {
    try {
        const auto value = [](std::string_view key) { return info_dictionary_string(key); };
        const auto settings = read_update_settings(value);
        const fs::path data_home = freedesktop::user_data_home(environment);
        if (data_home.empty()) return;
        const fs::path applications = data_home / "applications";
        const auto state = state_file(settings.identifier);

        DesktopIntegrationFacts facts;
        facts.mode = desktop_integration_of(value(info_keys::desktop_integration));
        facts.console = console;
        facts.package_managed = settings.package_managed;
        facts.owned_by_user = owned_by_user(bundle);
        facts.writable = writable(bundle);
        facts.remembered = remembered_answer(state);
        facts.can_ask = can_show_dialog();
        // Read last: it lists the folder, which the cheaper facts above may make needless.
        if (desktop_integration_step(facts) != DesktopIntegrationStep::nothing)
            facts.has_entry =
                !freedesktop::menu_entries_of(freedesktop::entry_bundle_path(bundle), applications).empty();

        switch (desktop_integration_step(facts)) {
            case DesktopIntegrationStep::nothing:
                return;
            case DesktopIntegrationStep::write:
                remember(state, true);
                write_entries(bundle, applications, settings.application_name);
                return;
            case DesktopIntegrationStep::ask: {
                const auto chosen = run_choice_alert(fill(ask_title, {settings.application_name}),
                                                     fill(ask_text, {settings.application_name}),
                                                     {std::string(button_no), std::string(button_yes)}, false);
                if (!chosen) return;  // no dialog after all: a later start asks
                remember(state, *chosen == 1);
                if (*chosen == 1) write_entries(bundle, applications, settings.application_name);
                return;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", fill(msg_failed, {bundle.filename().string(), e.what()}).c_str());
    }
}

}  // namespace

void start_desktop_integration(bool console) {
    // Most bundles lack the key, and their starts pay nothing more than this look.
    if (!info_dictionary_may_hold(info_keys::desktop_integration)) return;
    const auto mode = desktop_integration_of(info_dictionary_string(info_keys::desktop_integration));
    if (mode == DesktopIntegration::no) return;
    const fs::path bundle = fs::path(bundle_contents_directory()).parent_path();
    try {
        std::thread(integrate, bundle, console).detach();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "%s\n", fill(msg_failed, {bundle.filename().string(), e.what()}).c_str());
    }
}

}  // namespace kestrova::platform
