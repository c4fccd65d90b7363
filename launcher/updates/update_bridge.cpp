#include "launcher/updates/update_bridge.h"

#include "kestrova/export.h"
#include "kestrova/kestrova.h"
#include "launcher/updates/update_log.h"

extern "C" {

KESTROVA_EXPORT void JNICALL Java_tessavane_kestrova_updater_OnlineUpdater_nCheckForUpdates(JNIEnv*, jclass) {
    kestrova::check_for_updates();
}

KESTROVA_EXPORT JNINativeMethod methods[] = {
    {const_cast<char*>("nCheckForUpdates"), const_cast<char*>("()V"),
     reinterpret_cast<void*>(&Java_tessavane_kestrova_updater_OnlineUpdater_nCheckForUpdates)},
};

KESTROVA_EXPORT jint methods_size = 1;

}  // extern "C"

namespace kestrova::updates {

void register_update_bridge(JNIEnv* env) {
    jclass online_updater = env->FindClass("tessavane/kestrova/updater/OnlineUpdater");
    if (online_updater == nullptr) {
        // The application has no OnlineUpdater: it cannot ask for checks, which is its choice.
        env->ExceptionClear();
        return;
    }
    env->RegisterNatives(online_updater, methods, methods_size);
    if (env->ExceptionCheck()) {
        // The class exists but declares no such native method; the application starts regardless.
        env->ExceptionClear();
        log_record(
            "OnlineUpdater declares no native method nCheckForUpdates()V; the application "
            "cannot request update checks.");
    }
}

}  // namespace kestrova::updates
