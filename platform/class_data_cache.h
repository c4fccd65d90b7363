// The per-user cache of class-data archives: its directories and files, and the detached helper
// process that makes an archive once the start that recorded its class list has ended. What the
// files are called and when a start uses them is decided in core/class_data.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::platform {

// This user's directory for one bundle's class-data files, `slot` naming the bundle, inside the
// platform's per-user cache, made with access for this user alone when missing and `make` is set.
// Absent when it is missing or cannot be made, or when it or a folder above it inside the cache is
// not this user's alone (another owner, writable by others, a link).
std::optional<std::string> class_data_directory(std::string_view slot, bool make);

// What tells this user on this machine from others who may share the cache (a home on a network).
std::string user_and_machine();

// Facts of a file that change when it is replaced or rewritten (size, modification and change times,
// identity), following links; "" when it cannot be examined. The change time is there for a file
// rewritten in place with its size and modification time put back (rsync --inplace -t, cp -p),
// which no one can set back.
std::string file_facts(const std::string& path);

// The names in `directory`; none when it cannot be read.
std::vector<std::string> directory_names(const std::string& directory);

// The first `count` bytes of `path` when it is a regular file of this user's, exactly `size` bytes
// long and readable; absent otherwise. Never follows a link.
std::optional<std::vector<unsigned char>> complete_file_start(const std::string& path, std::uint64_t size,
                                                              std::size_t count);

// What a start finds in its slot for `key`: the archive it may name, and whether a dump failed.
// The archive is taken only when it is a complete static archive of this user's and every file
// the JVM will check it against (its checked-files file) is as it was when it was made.
struct ClassDataSlot {
    std::optional<std::string> archive;
    bool dump_failed = false;
    // The archive was made from the first start's classes and no later start has been compared
    // with it yet: this start records its list too, for the helper to compare.
    bool sample_pending = false;
};
ClassDataSlot examine_class_data_slot(const std::string& directory, std::string_view key);

// Creates `path` as an empty file for this user alone; false when it exists or cannot be made.
bool create_private_file(const std::string& path);

// What the helper is asked to do: wait until the process `parent` has ended, then make the archive
// for `key` in `directory` from the class list named `class_list` there. `bundle` is the bundle's
// Contents directory, remembered so that a later helper can drop the slot once the bundle is gone.
struct ClassDataJob {
    long parent = 0;
    std::string directory;
    std::string key;
    std::string class_list;
    std::string bundle;
};

// Has this executable started again as the helper for `job` once this process ends through
// end_process, before any end action that may replace the program (process.h): detached, in a session of its own, standard
// streams to nowhere, the environment the process started with. Started at the end, it takes
// nothing from the application's start; should the process end otherwise (a crash, a kill), no
// helper runs and a later start records a list again. When it cannot be started the class list is
// removed. Any thread; the last job given is the one started.
void start_class_data_helper_at_end(const ClassDataJob& job);

// The job when this process was started as the helper, from its arguments and environment.
std::optional<ClassDataJob> class_data_helper_job(int argc, char** argv);

// The helper's work, at idle priority: waits for the parent to end; unless another helper holds the
// directory or a usable archive for the key is there already, runs `dump` in a child process to make a static archive at the temporary path it is
// given from the class list (full paths both; `dump` ends the child); then, once the child has ended
// well and the file is complete, removes the key's unusable archive (damaged, or made from files
// that have changed since), records the files the JVM checks and renames the new one into place.
// A list recorded by a start that used the archive while its sample was pending is compared with
// the archive's once (class_data::list_outgrows), and only a list that outgrows it makes the
// archive again. Then it removes the directory's
// files of other keys and the slots of bundles that are gone. When the dump fails, the key's failed
// marker is left, so that later starts record no list for it again. Returns the helper's status.
int run_class_data_job(const ClassDataJob& job, int (*dump)(const std::string& class_list, const std::string& archive));

}  // namespace kestrova::platform
