// The application class-data archive the launcher keeps for its bundle, as pure decisions: whether a
// start keeps one, what makes it stale, what its files are called, and which JVM options a start
// adds. The files themselves, the per-user directory and the detached process that makes the
// archive are the platform's (platform/class_data_cache.h).
//
// A first start records the classes it loads (-XX:DumpLoadedClassList); once it has ended, a
// detached idle-priority copy of the launcher dumps a static archive from that list into a
// temporary name and renames it, named after its key and its size, into place. Every later start
// whose key matches names it (-XX:SharedArchiveFile) after checking it is complete.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::class_data {

// Set to anything but "" or "0", it turns the archive off for one start.
inline constexpr std::string_view off_variable = "KESTROVA_NO_CLASS_DATA";

// Whether the variable's value turns the archive off.
bool variable_turns_off(std::optional<std::string_view> variable);

// Whether this start keeps an archive. The variable wins; then the Info.plist key ("NO" off, "YES"
// on); without either, GUI bundles do and console bundles do not.
bool wanted(bool console, std::optional<std::string_view> info_value, std::optional<std::string_view> variable);

// Whether the bundle's own options already decide about class-data sharing, or make the JVM refuse
// a static archive, so the launcher must add nothing: -Xshare:*, an archive or class list of their
// own, agents, module patching.
bool options_decide_sharing(std::span<const std::string> jvm_options);

// The class path the options give the JVM: the last -Djava.class.path=, split at ':'.
std::vector<std::string> class_path(std::span<const std::string> jvm_options);

// The options that go into the key: all but -Dsun.java.command=, which carries the command line.
std::vector<std::string> keyed_options(std::span<const std::string> jvm_options);

// A short name for `facts` (each a string, order significant): 16 hex digits of their 64-bit
// FNV-1a hash. A name for cache files, not a digest anything's safety relies on: the JVM still
// checks the archive's class path and its own build itself.
std::string key_of(std::span<const std::string> facts);

// "<key>-<size>.jsa": a complete archive of `size` bytes made for `key`.
std::string archive_name(std::string_view key, std::uint64_t size);
// The size that `name` records when it is an archive name for `key`.
std::optional<std::uint64_t> archive_size(std::string_view name, std::string_view key);
// "<key>.<pid>.classlist": the class list a first start records.
std::string class_list_name(std::string_view key, long pid);
// "<key>.failed": a dump for `key` failed once; no start records a list for it again.
std::string failed_name(std::string_view key);
// "<key>.paths": the files the JVM checks the key's archive against, with their facts when it was made.
std::string checked_files_name(std::string_view key);
// "<key>.sample": the size of the class list the key's archive was made from, kept until a later
// start that used the archive has been compared with it.
std::string sample_name(std::string_view key);
// Whether a start that used the archive loaded so many more classes than the start the archive was
// made from (its class list of `sampled` bytes against the archive's `archived`) that the first
// was no fair sample (a --version start), and an archive from the later one serves better.
bool list_outgrows(std::uint64_t archived, std::uint64_t sampled);
// Whether `name` is a file of this directory that belongs to `key` (its archive, lists, marker).
bool belongs_to(std::string_view name, std::string_view key);

// The static archive's header starts with this magic, little-endian; a dynamic archive's or a file
// a killed dump left (zeroes) does not.
inline constexpr std::uint32_t static_archive_magic = 0xf00baba2;
inline constexpr std::size_t smallest_archive = 4096;
bool header_is_static_archive(std::span<const unsigned char> first_bytes);

// What a start does about the archive.
enum class Step { nothing, use_archive, record_classes };
Step choose_step(bool wanted, bool options_decide, bool directory_usable, bool archive_found, bool dump_failed);

// The options a start adds for `step`: `path` is the archive to use or the class list to record.
// CDS messages go nowhere: the JVM prints them on standard output, which is the application's.
std::vector<std::string> start_options(Step step, std::string_view path);
// The options of the detached dump from `class_list` into `archive`. The dump logs the class path
// entries it records in the archive to dump_log_of(archive).
std::vector<std::string> dump_options(std::string_view class_list, std::string_view archive);
std::string dump_log_of(std::string_view archive);

// The files a dump's log says the archive records and the JVM checks before it maps the archive:
// every JAR of the application class path, those the manifests' Class-Path reach included, and the
// Class-Path entries that were missing (the JVM refuses the archive once one of them exists). In
// the log's order, each once.
std::vector<std::string> checked_files(std::string_view dump_log);

// What the key's checked-files file holds: a line "FACTS<TAB>PATH" per file, `facts_of` giving the
// facts ("" for a file that is missing). nullopt for a path that no line can hold.
using FactsOf = std::string (*)(const std::string& path);
std::optional<std::string> checked_files_record(std::span<const std::string> paths, FactsOf facts_of);
// Whether every file of `record` still has the facts it had; false for a record that is damaged.
bool checked_files_unchanged(std::string_view record, FactsOf facts_of);

}  // namespace kestrova::class_data
