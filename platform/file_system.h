// Steps on files that the system offers in one piece, where portable calls have no equivalent.
#pragma once

namespace kestrova::platform {

// Exchanges what `first` (relative to the directory open as `first_directory`, or to the working
// directory with AT_FDCWD) and `second` (a path, relative to the working directory unless absolute) name, in one step: no one ever finds either name missing or half replaced. Returns
// 0; exchange_not_supported when this system or the file system cannot exchange two entries;
// otherwise the errno value saying why it failed.
inline constexpr int exchange_not_supported = -1;
int exchange_entries(int first_directory, const char* first, const char* second);

// Renames `from` to `to` in one step that fails with EEXIST when something is at `to`. Returns 0;
// rename_no_replace_not_supported when the file system cannot refuse that way (the caller then
// decides what a plain rename may do); otherwise the errno value.
inline constexpr int rename_no_replace_not_supported = -1;
int rename_no_replace(const char* from, const char* to);

// A new file that lives only in memory, its descriptor closed when a program is started over this
// process (children that inherit a copy made with dup2 keep theirs). `name` is for debugging only.
// -1 with errno set when none can be made.
int create_memory_file(const char* name);

}  // namespace kestrova::platform
