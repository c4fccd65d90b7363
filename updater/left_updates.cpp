// The updates earlier runs or other copies left beside the bundle: the newest ready one installed
// when nobody holds it, the rest, and what interrupted installs left, removed.
#include "updater/update_installation.h"

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "protocol/version_comparator.h"
#include "updater/installation_detail.h"
#include "updater/previous_version.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace {

// Installs the newest ready update earlier runs or other copies left beside the bundle, when
// nobody holds it; removes what interrupted installs left. `ending`: this copy is quitting.
std::optional<fs::path> install_left(UpdaterHost& host, bool ending) {
    try {
        const auto bundle = host.bundle_path();
        if (!bundle) {
            log_to(host, "The bundle's path cannot be told: updates left by earlier runs are not looked for");
            return std::nullopt;
        }
        const InfoDictionary running = running_bundle_info(host);
        std::unique_ptr<StagingArea> best;
        std::string best_version;
        for (auto& left : StagingArea::take_left(*bundle, [&host](std::string_view line) { log_to(host, line); })) {
            const auto version = left->ready_version();
            if (!version && holds_kept_version(host, *left, *bundle)) {
                // The way back from a version that has not shown it runs: only its confirmation or
                // the put-back removes it (a put-back that waited for other copies leaves it here).
                left->leave_on_disk();
                continue;
            }
            if (!version) {
                log_to(host, "Removed what an interrupted update left: " + left->path().string());
                continue;  // removed as `left` goes
            }
            try {
                check_staged_bundle(left->staged_bundle(), running, *version, reader_of(host));
            } catch (const InstallError& e) {
                log_to(host, "Removed the update to version " + *version + " an earlier run staged: " + e.what());
                continue;
            }
            if (best && protocol::compare_versions(best_version, *version) != protocol::Ordering::ascending) {
                log_to(host, "Removed the update to version " + *version + " an earlier run staged: " + best_version +
                                 " is newer");
                continue;
            }
            if (best) log_to(host, "Removed the update to version " + best_version + ": " + *version + " is newer");
            best = std::move(left);
            best_version = *version;
        }
        if (!best) return std::nullopt;
        StagedInstall installed;
        try {
            installed = install_staged_area(host, best, *bundle, running, best_version);
        } catch (const InstallError& e) {
            // Removed rather than retried: a swap that fails at every start would hold every start.
            log_to(host, "Update not installed: " + std::string(e.what()));
            return std::nullopt;
        }
        if (installed.kind == StagedInstall::Kind::dropped) {
            log_to(host, "Removed the update to version " + best_version + " an earlier run staged, because " +
                             installed.reason);
            return std::nullopt;
        }
        if (installed.kind == StagedInstall::Kind::waits_for_other_copies) {
            log_to(host, "Update not installed yet: " + others_run_message(host, best_version));
            return std::nullopt;
        }
        if (ending) {
            log_to(host, "Installed version " + best_version + " in place of " + installed.replaced_version +
                             ", made ready by an earlier run, as the last copy quit");
        } else {
            log_to(host, "Installed version " + best_version + " in place of " + installed.replaced_version +
                             ", made ready by an earlier run: starting " + installed.launcher.string());
        }
        return installed.launcher;
    } catch (const std::exception& e) {
        log_to(host, std::string("Looking for updates left by earlier runs failed: ") + e.what());
    } catch (...) {
        log_to(host, "Looking for updates left by earlier runs failed");
    }
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> install_left_update(UpdaterHost& host) { return install_left(host, false); }

bool install_left_update_at_end(UpdaterHost& host) { return install_left(host, true).has_value(); }
}  // namespace kestrova::updater
