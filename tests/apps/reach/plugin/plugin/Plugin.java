package plugin;

/** A plugin that needs a JDK module its host does not. */
public final class Plugin {
    public static boolean run() {
        return java.sql.DriverManager.getLoginTimeout() >= 0;
    }
}
