// The previous version, kept beside the bundle after an update's exchange until the new version
// has started: the staging area that the exchange filled with the old bundle stays on disk, with
// a record of the two versions ("update.previous": the previous version, then the new one, a line
// each). The new version's first start takes the area and marks it ("update.started"); once its
// application has shown it runs the area goes. A first start that fails before puts the previous
// version back with the same exchange and starts it; one that died (a crash, a kill) leaves the
// marked area unlocked, and the next start puts the previous version back first. The version that
// failed is remembered (failed_version_file) so that it is not offered again. The version put back
// is itself on trial: the area then holds the failed version, and should the previous version fail
// too, the failure was neither's (the user's own options, the machine), so the newer one goes back
// in place. Nothing but a confirmation or a put-back ever removes a kept area.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "updater/install_steps.h"
#include "updater/updater_host.h"

namespace kestrova::updater {

// The two versions an area's record names.
struct KeptVersions {
    std::string previous;  // the version the area holds once exchanged
    std::string replaced_by;
    // `replaced_by` was put back because `previous` could not start, and has not yet shown it runs.
    bool way_back = false;
};

// The record's text: two versions a line each, then "way back" on a third for a put-back's record
// (a third line a launcher without trials never reads as a kept area). Nothing when it is not that.
std::optional<KeptVersions> parse_kept_versions(std::string_view text);
std::string kept_versions_text(const KeptVersions& versions);

// What a staging area beside the bundle is to a start.
enum class KeptState {
    not_kept,  // no record, or the exchange it was made for did not happen (or was undone)
    untried,   // holds the previous version; no start of the new one has taken it yet
    died,      // holds the previous version; the new version's first start took it and died
};

// Decided from the area's record (nothing when absent), the version of the bundle it holds, the
// version installed at the bundle's path, and whether a first start marked it: an area holds the
// previous version only when its bundle is the version the record names first and the installed
// one the version it names second, so a crash on either side of an exchange is read right, and a
// record outlived by another installation is not kept for ever.
KeptState kept_state(const std::optional<KeptVersions>& record, std::string_view held_version,
                     std::string_view installed_version, bool started);

// Whether `area`, left beside `bundle`, holds a kept previous version: the clean-up of what
// interrupted updates left must leave it on disk. Never throws.
bool holds_kept_version(UpdaterHost& host, const StagingArea& area, const std::filesystem::path& bundle);

// What the user is told once, with the put-back's sentence, when the failed version could not be
// remembered (`reason`): this launch does not offer it again, a later one may.
std::string not_remembered_sentence(std::string_view failed, std::string_view reason);

// Whether `version` is the one remembered as failing to start (`failed`), or older.
bool failed_to_start(const std::optional<std::string>& failed, std::string_view version);

// What the user is told once the previous version is back, in one sentence.
std::string put_back_sentence(std::string_view name, std::string_view failed, std::string_view previous);

// Exchanges the area's staged bundle (`new_version`) with the installed one (`old_version`), as
// StagingArea::swap_into_place does and throwing as it does, recording first what the exchange
// leaves in the area; the area then stays on disk, unlocked, for the new version's first start,
// and `area` is empty. When the record cannot be written, the update goes in without a way back
// (logged) and the old bundle is removed with the area.
void swap_keeping_previous(UpdaterHost& host, std::unique_ptr<StagingArea>& area, std::string_view old_version,
                           std::string_view new_version);

// A previous version put back: its launcher to start, and what the user is told.
struct PutBack {
    std::filesystem::path launcher;
    std::string sentence;
};

// At start. Takes an untried area as this process's first start (until it is over, a SIGTERM,
// SIGINT or SIGHUP unmarks it on the way out: a signal the user or a logout sent says nothing
// against the version); puts the previous version back when a first start died, or the newer one
// when the way back died too. Never throws.
std::optional<PutBack> begin_first_start(UpdaterHost& host);

// The first start failed before its application had shown it runs: the previous version goes
// back (an untried area is taken first: the new launcher never ran, or failed before it could take
// it). When this start was itself the way back, the newer version goes back in place instead and
// nothing is returned: the caller's failure goes on. Never throws.
std::optional<PutBack> roll_back_first_start(UpdaterHost& host);

// The first start ended by `signal`, which the user or the system sent, before it had shown it
// runs: not counted against the version, whose next start is a first start again. Never throws.
void interrupt_first_start(UpdaterHost& host, int signal);

// The application's main method is about to run: the first start is confirmed once it has run for
// confirmation_seconds (unless it is over before). Never throws.
inline constexpr int confirmation_seconds = 5;
void application_starting(UpdaterHost& host);

// The new version has shown it runs: the area is unmarked at once and removed on a thread of its
// own, so the application does not wait for it. Never throws.
void confirm_first_start(UpdaterHost& host);

// Waits until the removal that confirm_first_start began is over (at the end of the process).
void finish_removing_previous() noexcept;

// Whether `version` is remembered as one that could not start here, or this launch put it back.
// Never throws.
bool version_failed_to_start(UpdaterHost& host, std::string_view version);

}  // namespace kestrova::updater
