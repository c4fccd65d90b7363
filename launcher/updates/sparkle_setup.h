// What the update start-up offers the launcher besides its named routines (kestrova/kestrova.h):
// it alone holds the update framework it found and the updater controller.
#pragma once

namespace kestrova::updates {

// From here on, every end of the process first lets the update framework install an update that
// was downloaded and checked while the application ran. Called when the application's main method
// is about to run: a launch that fails before has nothing pending. JVM thread.
void install_pending_update_at_end();

}  // namespace kestrova::updates
