// The update bridge: the Java side's native OnlineUpdater.nCheckForUpdates().
#pragma once

#include <jni.h>

namespace kestrova::updates {

// Registers nCheckForUpdates on OnlineUpdater when the application has that class. Leaves no
// exception pending.
void register_update_bridge(JNIEnv* env);

}  // namespace kestrova::updates
