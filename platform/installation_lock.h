// One copy at a time: every start of a bundle whose update framework loads holds a lock on the
// installation for as long as it runs, shared with the other copies of the same installation;
// replacing the installation takes it exclusively. So an update never replaces or deletes the tree
// a running copy still loads classes and resources from. Only a user who may change the
// installation can hold the lock, so nobody else can stall a start or keep an update out.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kestrova::platform {

enum class InstallationLock {
    exclusive,      // no other copy runs: held alone until share_installation_lock
    shared,         // other copies run: held with them
    waited,         // another copy held it alone (replacing the installation, perhaps): held shared once it was done
    timed_out,      // another copy was still replacing it when the wait ended: not held
    unavailable,    // the bundle directory could not be opened or locked: not held
    not_installer,  // this user may not change the installation: not held, and nobody waited for
    moved,          // the tree this process runs from is no longer the one at the installation's path
                    // (another copy's update exchanged it away): nothing of it may start
};

// Locks the installation in the bundle directory that holds the executable, for the rest of the
// process (the lock is never released; replacing the program releases it). Exclusively when no
// other copy runs, so that an update an earlier run left can go in before any other copy starts
// from the old tree; shared otherwise. While another copy holds it exclusively (it is installing an
// update), waits for it up to `wait_seconds`; `waiting` runs once if that wait is longer than a
// moment. A user who may not change the installation gets `not_installer` at once. The lock is on
// the tree the executable runs from, wherever an update has moved it, so a start waits for the
// copy that is exchanging it; `moved` then, whether or not the lock is held, when that tree is no
// longer the one at installation_path(). Main thread, once, before the application starts.
InstallationLock lock_installation(double wait_seconds, const std::function<void()>& waiting);

// Converts this process's lock to exclusive without waiting (taking it first when it has none
// yet): true when no other copy runs (this process may replace the installation now), false when
// one does (the lock stays shared). Any thread.
bool lock_installation_exclusively();

// Converts an exclusive lock back to shared, before the application starts, so that other copies
// can start beside it. The lock stays whatever it was when another copy took it meanwhile.
void share_installation_lock();

// Whether `bundle` still names the directory this process locked: false once it was moved away
// or another directory took its place; nothing when this process holds no such lock.
std::optional<bool> installation_at(const std::string& bundle);

// The launcher of the bundle at `bundle`, as its Info.plist names it (BundleFacts::launcher:
// reached through no link); nothing when it names none.
std::optional<std::string> installation_launcher(const std::string& bundle);

// The installation's path: where the bundle directory this process runs from lay when the process
// started (where another copy's update moved it from, when it had done so already); empty when the
// executable is in no bundle.
std::string installation_path();

}  // namespace kestrova::platform
