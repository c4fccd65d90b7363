#include "updater/update_installation.h"

#include <exception>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/update_settings.h"
#include "kestrova/updater_abi.h"
#include "protocol/version_comparator.h"
#include "updater/installation_detail.h"
#include "updater/last_check_store.h"
#include "updater/previous_version.h"

namespace kestrova::updater {

namespace fs = std::filesystem;
using namespace install_detail;

namespace {

// --- Reasons: one sentence each, for the user and the update log --------------------------------

constexpr std::string_view msg_download_failed = "The update was not installed because its download failed ({}).";
constexpr std::string_view msg_download_too_long =
    "The update was not installed because its download is longer than the {} bytes the feed announced.";
constexpr std::string_view msg_download_status =
    "The update was not installed because the server answered HTTP {} for its download.";
constexpr std::string_view msg_internal = "The update was not installed because of an internal error ({}).";

// The launcher the swapped-in bundle starts with, found in the staged tree before the exchange;
// check_staged_bundle has vouched for it.
fs::path launcher_after_swap(UpdaterHost& host, const fs::path& staged, const fs::path& bundle) {
    const InfoDictionary info =
        host.read_property_list(kestrova::bundle_layout::info_plist_of(staged)).value_or(InfoDictionary{});
    const auto launcher = read_bundle_facts(staged, lookup_in(info)).launcher;
    return kestrova::bundle_layout::executables_of(bundle) / (launcher ? launcher->filename() : fs::path());
}

// The application's name as the user knows it, for the sentences about other copies.
std::string application_name(UpdaterHost& host) {
    const InfoLookup info = [&host](std::string_view key) { return host.info_string(key); };
    return read_update_settings(info).application_name;
}

}  // namespace

namespace install_detail {

void log_to(UpdaterHost& host, std::string_view message) noexcept {
    try {
        host.log(message);
    } catch (...) {
        // Logging is never the reason an install goes wrong.
    }
}

InfoReader reader_of(UpdaterHost& host) {
    return [&host](const fs::path& path) { return host.read_property_list(path); };
}

std::string others_run_message(UpdaterHost& host, std::string_view version) {
    const std::string name = application_name(host);
    return name + " " + std::string(version) + " will be installed when every copy of " + name + " has quit";
}

}  // namespace install_detail

// --- UpdateInstallation -----------------------------------------------------------------------------

void UpdateInstallation::start(UpdaterHost& host, UserDriver& driver, PendingUpdate& pending, InstallRequest request,
                               std::function<void(InstallResult)> done) {
    std::make_shared<UpdateInstallation>(host, driver, pending, std::move(request), std::move(done))->begin();
}

UpdateInstallation::UpdateInstallation(UpdaterHost& host, UserDriver& driver, PendingUpdate& pending,
                                       InstallRequest request, std::function<void(InstallResult)> done)
    : host_(host), driver_(driver), pending_(pending), request_(std::move(request)), done_(std::move(done)) {}

namespace {

// The versions whose delta failed in this process, for when the state folder cannot remember them.
std::set<std::string>& failed_delta_versions() {
    static std::set<std::string> versions;
    return versions;
}

// Where this user keeps the newest version whose delta failed, for this application.
std::optional<fs::path> failed_delta_path(UpdaterHost& host) {
    const auto identifier = host.info_string(info_keys::bundle_identifier);
    const auto state = last_check_file([&host](std::string_view name) { return host.environment_value(name); },
                                       identifier.value_or(""));
    if (!state) return std::nullopt;
    return failed_delta_file(*state);
}

// Whether the delta to `version` failed before, in this process or any earlier one.
bool delta_failed_before(UpdaterHost& host, const std::string& version) {
    if (failed_delta_versions().count(version) != 0) return true;
    const auto file = failed_delta_path(host);
    const auto recorded = file ? read_skipped_version(*file) : std::nullopt;
    return recorded && protocol::compare_versions(*recorded, version) == protocol::Ordering::same;
}

// Remembers that the delta to `version` failed, so that no later check, start or process of this
// user downloads it again; a newer version's delta is tried, as it replaces the record.
void remember_failed_delta(UpdaterHost& host, const std::string& version) {
    failed_delta_versions().insert(version);
    const auto file = failed_delta_path(host);
    try {
        if (!file)
            throw LastCheckError("there is no state folder (" +
                                 std::string(platform::user_state_directory_variables()) + " unset)");
        write_skipped_version(*file, version);
    } catch (const LastCheckError& e) {
        log_to(host, "That the delta to version " + version +
                         " failed is remembered only until the application quits: " + e.what());
    }
}

}  // namespace

std::optional<protocol::DeltaEnclosure> UpdateInstallation::delta_to_try() {
    const std::string installed = info_value(request_.running, info_keys::bundle_version);
    for (const protocol::DeltaEnclosure& delta : request_.enclosure.deltas) {
        if (delta.from_version != installed || !delta.length || *delta.length >= *request_.enclosure.length) continue;
        if (delta_failed_before(host_, request_.offer.version)) {
            log("Delta from version " + installed + " not tried: it could not be used for version " +
                request_.offer.version + " before, so the full archive is downloaded");
            return std::nullopt;
        }
        return delta;
    }
    return std::nullopt;
}

void UpdateInstallation::begin() {
    try {
        // Refused before any byte: no room for it, or no length to bound it by. A delta's download
        // is counted here; the tree it builds once its manifest tells how large that is.
        if (request_.enclosure.length && !std::exchange(delta_tried_, true)) delta_ = delta_to_try();
        if (delta_)
            check_room_for_delta_download(request_.bundle, *delta_->length);
        else
            check_room_for_update(request_.bundle, request_.enclosure.length);
        staging_ = std::make_unique<StagingArea>(request_.bundle);
        if (delta_) {
            log("Delta download started: " + delta_->url + " (" + std::to_string(*delta_->length) + " bytes, from " +
                delta_->from_version + ", in place of the full archive of " +
                std::to_string(*request_.enclosure.length) + " bytes) into " + staging_->download_path().string());
            download(delta_->url, *delta_->length, UpdateDownload::delta);
        } else {
            log("Download started: " + request_.enclosure.url + " (" + std::to_string(*request_.enclosure.length) +
                " bytes) into " + staging_->download_path().string());
            download(request_.enclosure.url, *request_.enclosure.length,
                     archive_after_delta_ ? UpdateDownload::archive_after_delta : UpdateDownload::archive);
        }
    } catch (const InstallError& e) {
        fail(e.what());
    } catch (const std::exception& e) {
        fail(install_reason(msg_internal, {e.what()}));
    }
}

void UpdateInstallation::download(const std::string& url, std::uint64_t length, UpdateDownload what) {
    const auto self = shared_from_this();
    length_ = length;
    shown_bytes_ = 0;
    const std::weak_ptr<UpdateInstallation> weak = self;
    driver_.show_download_started(request_.application, request_.offer, what, [weak] {
        if (const auto installation = weak.lock()) installation->cancel();
    });
    transfer_ = host_.download_to_file(
        url, staging_->download_path(), archive_stall_timeout_seconds, length,
        [self](std::uint64_t received, std::optional<std::uint64_t>) { self->progressed(received); },
        [self](UrlResponse response) {
            // The completion runs on the transfer's thread; everything else on the main one.
            self->host_.dispatch_main([self, response = std::move(response)] { self->downloaded(response); });
        });
}

void UpdateInstallation::fall_back(const std::string& reason) {
    log("Delta from version " + delta_->from_version + " not used: " + reason +
        " Downloading the full archive instead.");
    remember_failed_delta(host_, request_.offer.version);
    delta_.reset();
    archive_after_delta_ = true;
    if (transfer_ != 0) host_.cancel_transfer(std::exchange(transfer_, 0));
    staging_.reset();  // the delta and whatever it built; the installed bundle was never touched
    stage_ = Stage::downloading;
    // The driver hears a second download, of the archive's own length and with its own label, in
    // the progress window still up: not a bar that jumps back.
    begin();
}

void UpdateInstallation::cancel() {
    if (stage_ != Stage::downloading || cancelled_) return;
    cancelled_ = true;
    log("The user cancelled the update's download");
    if (transfer_ != 0) host_.cancel_transfer(transfer_);
}

void UpdateInstallation::progressed(std::uint64_t received) {
    {
        std::lock_guard lock(progress_mutex_);
        received_ = received;
        if (std::exchange(progress_queued_, true)) return;
    }
    const auto self = shared_from_this();
    host_.dispatch_main([self] {
        std::uint64_t latest = 0;
        {
            std::lock_guard lock(self->progress_mutex_);
            self->progress_queued_ = false;
            latest = self->received_;
        }
        if (self->stage_ != Stage::downloading || self->cancelled_ || latest == self->shown_bytes_) return;
        self->shown_bytes_ = latest;
        self->driver_.show_download_progress(latest, self->length_);
    });
}

void UpdateInstallation::downloaded(const UrlResponse& response) {
    if (stage_ != Stage::downloading) return;
    transfer_ = 0;
    if (cancelled_ || response.error_code == KESTROVA_URL_ERROR_CANCELLED) {
        log("Update not installed: the download was cancelled");
        staging_.reset();
        driver_.dismiss_installation();
        end(InstallResult{InstallResult::Kind::cancelled, {}});
        return;
    }
    const auto failed = [&](const std::string& reason) { delta_ ? fall_back(reason) : fail(reason); };
    if (response.error_code == KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM) {
        failed(install_reason(msg_download_too_long, {std::to_string(length_)}));
        return;
    }
    if (response.error_code != 0) {
        failed(install_reason(msg_download_failed,
                              {response.error_description.empty() ? "URL error " + std::to_string(response.error_code)
                                                                  : response.error_description}));
        return;
    }
    if (response.http_status != -1 && (response.http_status < 200 || response.http_status > 299)) {
        failed(install_reason(msg_download_status, {std::to_string(response.http_status)}));
        return;
    }
    std::error_code ec;
    const auto size = fs::file_size(staging_->download_path(), ec);
    log("Download finished: " + (ec ? std::string("size unknown") : std::to_string(size) + " bytes"));
    stage_ = Stage::installing;
    driver_.show_extracting();
    try {
        install_download();
    } catch (const InstallError& e) {
        fail(e.what());
    } catch (const std::exception& e) {
        fail(install_reason(msg_internal, {e.what()}));
    }
}

// Verify, extract and check, then swap in at once or keep for the application's end. Throws
// InstallError; the installed bundle changes only in the swap, which either happens whole or not.
void UpdateInstallation::install_download() {
    // Opened once: the bytes verified are the bytes unpacked.
    const auto key = host_.info_string(info_keys::public_ed_key);
    if (delta_) {
        // Every failure up to a checked staged tree falls back to the full archive.
        try {
            const DownloadedArchive delta(staging_->download_path());
            verify_update_archive(delta, key ? std::optional<std::string_view>(*key) : std::nullopt,
                                  delta_->ed_signature, delta_->length);
            log("Delta signature verified with SUPublicEDKey");
            staging_->build_from_delta(delta, delta_->from_version);
            check_staged_bundle(staging_->staged_bundle(), request_.running, request_.offer.version, reader_of(host_));
        } catch (const NoRoomError&) {
            throw;  // the full archive builds the same tree: it has no more room than the delta
        } catch (const InstallError& e) {
            fall_back(e.what());
            return;
        }
        log("Staged version " + request_.offer.version + " from the delta in " + staging_->path().string());
    } else {
        const DownloadedArchive archive(staging_->download_path());
        const auto& signature = request_.enclosure.ed_signature;
        verify_update_archive(archive, key ? std::optional<std::string_view>(*key) : std::nullopt,
                              signature ? std::optional<std::string_view>(*signature) : std::nullopt,
                              request_.enclosure.length);
        log("Signature verified with SUPublicEDKey");
        staging_->extract(archive);
        check_staged_bundle(staging_->staged_bundle(), request_.running, request_.offer.version, reader_of(host_));
        log("Staged version " + request_.offer.version + " in " + staging_->path().string());
    }

    const std::string& new_version = request_.offer.version;
    if (request_.held_launch) {
        const StagedInstall installed = install_staged_area(host_, staging_, request_.bundle, request_.running,
                                                            new_version);
        if (installed.kind == StagedInstall::Kind::dropped)
            throw InstallError("The update was not installed because " + installed.reason);
        if (installed.kind == StagedInstall::Kind::waits_for_other_copies) {
            staging_.reset();
            log("Update ready: " + others_run_message(host_, new_version) + "; this one starts as it is");
            stage_ = Stage::ended;
            driver_.dismiss_installation();
            const auto self = shared_from_this();
            driver_.show_installed_when_every_copy_quits(request_.application, request_.offer, [self] {
                self->end(InstallResult{InstallResult::Kind::waits_for_other_copies, {}});
            });
            return;
        }
        log("Installed version " + new_version + " in place of " + installed.replaced_version + ": starting " +
            installed.launcher.string());
        driver_.dismiss_installation();
        end(InstallResult{InstallResult::Kind::installed, installed.launcher});
        return;
    }
    staging_->mark_ready(new_version);
    if (pending_.keep(std::move(staging_), request_.running, new_version)) {
        log("Update ready: version " + new_version + " is installed when the application quits");
    } else {
        log("Update ready: the application is already quitting, so version " + new_version +
            " is installed at its next start");
    }
    stage_ = Stage::ended;
    driver_.dismiss_installation();
    const auto self = shared_from_this();
    driver_.show_ready_to_install_on_quit(request_.application, request_.offer, [self] {
        self->end(InstallResult{InstallResult::Kind::ready_on_quit, {}});
    });
}

void UpdateInstallation::fail(const std::string& reason) {
    log("Update not installed: " + reason);
    if (transfer_ != 0) host_.cancel_transfer(std::exchange(transfer_, 0));
    staging_.reset();  // removes what was downloaded or staged; the installed bundle was never touched
    stage_ = Stage::ended;
    driver_.dismiss_installation();
    const auto self = shared_from_this();
    driver_.show_install_failed(request_.application, request_.offer, reason, [self] {
        self->end(InstallResult{InstallResult::Kind::failed, {}});
    });
}

void UpdateInstallation::end(InstallResult result) {
    stage_ = Stage::ended;
    if (auto done = std::exchange(done_, nullptr)) done(std::move(result));
}

void UpdateInstallation::log(std::string_view message) { log_to(host_, message); }

// --- Putting a staged area in place, for the held launch, the pending update and the left ones --

InfoDictionary running_bundle_info(UpdaterHost& host) {
    InfoDictionary info;
    for (const char* key : {info_keys::bundle_identifier, info_keys::bundle_version}) {
        if (const auto value = host.info_string(key)) info.emplace(key, *value);
    }
    return info;
}

ExchangeCheck check_before_exchange(UpdaterHost& host, const fs::path& bundle, const InfoDictionary& running,
                                    std::string_view new_version) {
    const auto drop = [](std::string reason) {
        return ExchangeCheck{ExchangeCheck::Kind::drop, {}, std::move(reason)};
    };
    const auto info = host.read_property_list(kestrova::bundle_layout::info_plist_of(bundle));
    if (!info) return drop(bundle.string() + " no longer holds the application: it was moved or removed while it ran.");
    const std::string identifier = info_value(*info, info_keys::bundle_identifier);
    if (identifier != info_value(running, info_keys::bundle_identifier))
        return drop(install_reason("{} now holds another application ({}).", {bundle.string(), identifier}));
    const std::string standing = info_value(*info, info_keys::bundle_version);
    if (protocol::compare_versions(standing, new_version) != protocol::Ordering::ascending)
        return drop(install_reason("{} now holds version {}, which {} is not newer than.",
                                   {bundle.string(), standing, new_version}));
    // Another directory in its place was put there by someone who does not take the lock, so
    // this process cannot know whether a copy runs from it.
    if (host.installation_at(bundle) == false)
        return drop(bundle.string() + " is no longer the copy that started: it was moved or replaced while it ran.");
    if (!host.lock_installation_exclusively()) return ExchangeCheck{ExchangeCheck::Kind::wait_for_other_copies, {}, {}};
    return ExchangeCheck{ExchangeCheck::Kind::replace, standing, {}};
}

StagedInstall install_staged_area(UpdaterHost& host, std::unique_ptr<StagingArea>& area, const fs::path& bundle,
                                  const InfoDictionary& running, const std::string& new_version) {
    const ExchangeCheck check = check_before_exchange(host, bundle, running, new_version);
    if (check.kind == ExchangeCheck::Kind::drop) return {StagedInstall::Kind::dropped, {}, {}, check.reason};
    if (check.kind == ExchangeCheck::Kind::wait_for_other_copies) {
        // Left on disk unlocked, so the last copy to quit installs it (or else the next start).
        if (!area->ready_version()) area->mark_ready(new_version);
        area->leave_on_disk();
        return {StagedInstall::Kind::waits_for_other_copies, {}, {}, {}};
    }
    // Read before the exchange, from the staged tree that check_staged_bundle vouched for.
    fs::path launcher = launcher_after_swap(host, area->staged_bundle(), bundle);
    swap_keeping_previous(host, area, check.version, new_version);
    return {StagedInstall::Kind::installed, check.version, std::move(launcher), {}};
}
}  // namespace kestrova::updater
