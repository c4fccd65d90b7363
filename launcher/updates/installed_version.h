// The launcher's side of installing updates: starting the version the update framework has just
// put in place of the running one, or the previous one put back.
#pragma once

#include <string>

namespace kestrova::updates {

// Replaces this process with `launcher`, the executable of the version just installed in place of
// the running bundle (or its launcher of the running one's name, when it has one: another command
// of the bundle starts again as itself), with the same arguments, so the new version runs in the same process and its
// exit status is the launch's. Logged first. Never returns: when the replacement fails, the launch
// fails as any other does (kestrova::bail): one line on standard error says what to do, the
// previous version, kept beside the new one, is put back and starts instead, and otherwise the
// process ends with status 1 (the new version is installed, so the next start runs it). Main
// thread, before the JVM exists.
[[noreturn]] void start_installed_version(const std::string& launcher);

// Replaces this process with `launcher`, the previous version's, which was just put back after
// the new one could not start; as start_installed_version, but returns the errno value when the
// replacement fails, for the caller to end the process its own way. Any thread.
int start_previous_version(const std::string& launcher);

}  // namespace kestrova::updates
