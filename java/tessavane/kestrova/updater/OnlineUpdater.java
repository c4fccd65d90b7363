package tessavane.kestrova.updater;

/**
 * The application's way to ask for an update check. The native launcher registers
 * {@link #nCheckForUpdates} when it starts the JVM. In a bundle without an update framework the
 * call is logged and does nothing; outside the launcher nothing registers it, so it throws
 * {@link UnsatisfiedLinkError} (and {@link #checkForUpdates} returns false).
 */
public final class OnlineUpdater {
    private OnlineUpdater() {}

    /** Asks for a user-initiated update check; returns at once. */
    public static native void nCheckForUpdates();

    /** Like {@link #nCheckForUpdates}, but false when the launcher did not register the bridge. */
    public static boolean checkForUpdates() {
        return Guarded.checkForUpdates();
    }

    // The launcher looks this class up at every start; keeping the handler here means verifying
    // OnlineUpdater loads no exception class until an application actually asks for a check.
    private static final class Guarded {
        static boolean checkForUpdates() {
            try {
                nCheckForUpdates();
                return true;
            } catch (UnsatisfiedLinkError e) {
                return false;
            }
        }
    }
}
