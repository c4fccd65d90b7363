// Process services: the environment snapshot for platform services, replacing and ending the
// process (the executable's own path is in executable_path.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/executable_path.h"

namespace kestrova::platform {

// Reads what the platform services need from the environment (the alert's display and search path,
// for instance). Called on the main thread before any other thread starts: the JVM thread changes
// the environment later, and reading it concurrently would race.
void prepare_for_threads();

// A variable's value in the environment as prepare_for_threads read it; nothing when unset.
std::optional<std::string> environment_variable(std::string_view name);

// Ends the process with `status`, from any thread. Once a transfer of url_loading.h has been
// started, its worker thread may be inside the libraries that carry it out, and nothing can stop it
// there: exit() would tear those libraries down under it (their exit handlers and destructors) and
// the process could crash on its way out. So then standard I/O is flushed and the process ends at
// once, skipping exit handlers; otherwise exit() runs as usual. From here on no new transfer starts
// (load_url and download_to_file then never call their completion).
[[noreturn]] void end_process(int status);

// When an action runs among the others at the end: those that leave something behind (start a
// helper) first, as an action that replaces the program ends the others' chance to run; then
// those that may replace it. Within a stage, in the order they were added.
enum class EndOfProcessStage { leaves_something_behind, may_replace_program };
inline constexpr std::size_t end_of_process_actions_per_stage = 8;

// Adds to what end_process does first, whichever thread ends the process and however (another
// thread ending it meanwhile waits until the first end is over, and the first end's status is the
// process's): work that must be done before the process goes and may take a while, such as
// putting a downloaded update in place. Each feature adds its own action, once; an action is given
// the status, must not end the process itself, and may replace the program (replace_process) only
// in the stage that says so. Up to end_of_process_actions_per_stage a stage; more are not run.
// Any thread.
void run_before_end_of_process(void (*action)(int status),
                               EndOfProcessStage stage = EndOfProcessStage::may_replace_program);

// Replaces the program running in this process with the executable at `path` (an absolute path),
// keeping the process: the same process id, parent and terminal, so whoever started the
// application waits for the new program and gets its exit status. `arguments` is the new argv,
// argv[0] first, null-terminated. The new program gets the environment the process started with
// (as prepare_for_threads read it, whatever changed since) and only standard input, output and
// error of the open files. Returns only when the replacement failed, with the errno value saying
// why; the process then goes on unchanged.
int replace_process(const char* path, char* const* arguments);

// Whether the process's standard error is a terminal, where a user reads what is printed on it.
// Started from a desktop menu or a file manager it is not: it goes to a session log or nowhere.
bool standard_error_is_terminal();

}  // namespace kestrova::platform
