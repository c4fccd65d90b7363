// The installation lock's side of the process's start.
#pragma once

namespace kestrova::platform::linux_backend {

// Notes which bundle directory holds the executable, at the top of main: another copy installing
// an update renames that directory away, and the executable's path then follows it into the
// staging area, so a later reading would lock the old tree instead of the installation.
void remember_installation_directory();

}  // namespace kestrova::platform::linux_backend
