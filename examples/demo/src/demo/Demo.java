package demo;

import java.util.List;
import tessavane.kestrova.updater.OnlineUpdater;

/**
 * A small application to try the launcher with: prints what it was started with, one
 * "key: value" line each. {@code --check-updates} asks the launcher for an update check through
 * the update bridge; {@code --fail} throws, so a GUI launch shows the alert and exits with 1.
 */
public final class Demo {
    private Demo() {}

    public static void main(String[] args) {
        System.out.println("arguments: " + args.length);
        for (int i = 0; i < args.length; i++) {
            System.out.println("arg[" + i + "]: " + args[i]);
        }
        for (String key : List.of("app.dir", "java.class.path", "sun.java.command", "java.version")) {
            System.out.println(key + ": " + System.getProperty(key));
        }
        List<String> options = List.of(args);
        if (options.contains("--check-updates")) {
            boolean bridged = OnlineUpdater.checkForUpdates();
            System.out.println("update bridge: "
                    + (bridged ? "present, check requested" : "absent (the launcher registered no update bridge)"));
        }
        if (options.contains("--fail")) {
            throw new IllegalStateException("the demo was asked to fail (--fail)",
                    new UnsupportedOperationException("nothing is wrong, this is a demonstration"));
        }
    }
}
