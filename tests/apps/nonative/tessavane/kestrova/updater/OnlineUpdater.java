package tessavane.kestrova.updater;

/** An OnlineUpdater from an older application: it has no native nCheckForUpdates to register. */
public final class OnlineUpdater {
    private OnlineUpdater() {}

    public static boolean checkForUpdates() {
        return false;
    }
}
