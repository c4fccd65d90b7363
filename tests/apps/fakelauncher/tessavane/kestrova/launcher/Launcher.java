package tessavane.kestrova.launcher;

import java.lang.reflect.Method;

/**
 * A Launcher that breaks its contract in the way the system property "fake.mode" names, to show
 * how the native launcher copes: "null-main" returns no main method, "null-text" and "throw-text"
 * spoil fromException, "marker" only announces each call on standard error.
 */
public final class Launcher {
    private Launcher() {}

    private static String mode() {
        return System.getProperty("fake.mode", "marker");
    }

    public static Method prepare(String mainClassName) throws Exception {
        System.err.println("FAKE prepare " + mainClassName);
        if (mode().equals("null-main")) {
            return null;
        }
        return Class.forName(mainClassName.replace('/', '.')).getMethod("main", String[].class);
    }

    public static String fromException(Throwable t) {
        System.err.println("FAKE fromException " + t.getClass().getName());
        System.err.flush();
        switch (mode()) {
            case "null-text":
                return null;
            case "throw-text":
                throw new UnsupportedOperationException("fromException refused");
            default:
                return "FAKE TEXT \uD83D\uDE00 " + t.getMessage();
        }
    }
}
