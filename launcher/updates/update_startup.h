// What the update start-up offers the launcher besides its named routines (kestrova/kestrova.h):
// it alone holds the update framework it found and the updater controller.
#pragma once

namespace kestrova::updates {

// The application's main method is about to run: the launch enters its application phase
// (first_start.h), and from here on every end of the process decides a new version's first start
// and then lets the update framework install an update that was downloaded and checked while the
// application ran (a launch that fails before has nothing pending). JVM thread.
void application_starting();

}  // namespace kestrova::updates
