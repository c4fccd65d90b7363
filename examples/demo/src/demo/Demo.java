package demo;

import java.awt.BorderLayout;
import java.awt.GraphicsEnvironment;
import java.util.List;
import javax.swing.JButton;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JMenu;
import javax.swing.JMenuBar;
import javax.swing.JMenuItem;
import javax.swing.SwingUtilities;
import javax.swing.WindowConstants;
import tessavane.kestrova.updater.OnlineUpdater;

/**
 * A small application to try the launcher with: prints what it was started with, one
 * "key: value" line each. {@code --window} opens a window whose Help menu and button ask for an
 * update check; {@code --check-updates} asks for one from the command line; {@code --fail} throws,
 * so a GUI launch shows the alert and exits with 1.
 */
public final class Demo {
    private Demo() {}

    public static void main(String[] args) throws Exception {
        System.out.println("arguments: " + args.length);
        for (int i = 0; i < args.length; i++) {
            System.out.println("arg[" + i + "]: " + args[i]);
        }
        for (String key : List.of("app.dir", "java.class.path", "sun.java.command", "java.version")) {
            System.out.println(key + ": " + System.getProperty(key));
        }
        List<String> options = List.of(args);
        if (options.contains("--check-updates")) {
            checkForUpdates();
            // The check runs on the launcher's main thread; give it time to show its answer
            // before the application ends.
            Thread.sleep(5000);
        }
        if (options.contains("--fail")) {
            throw new IllegalStateException("the demo was asked to fail (--fail)",
                    new UnsupportedOperationException("nothing is wrong, this is a demonstration"));
        }
        if (options.contains("--window")) {
            if (GraphicsEnvironment.isHeadless()) {
                System.out.println("window: no display (set DISPLAY to open one)");
            } else {
                SwingUtilities.invokeAndWait(Demo::showWindow);
            }
        }
    }

    private static void checkForUpdates() {
        boolean bridged = OnlineUpdater.checkForUpdates();
        System.out.println("update bridge: "
                + (bridged ? "present, check requested" : "absent (the launcher registered no update bridge)"));
    }

    private static void showWindow() {
        JFrame frame = new JFrame("Kestrova demo");
        JMenuItem check = new JMenuItem("Check for Updates\u2026");
        check.addActionListener(e -> checkForUpdates());
        JMenu help = new JMenu("Help");
        help.add(check);
        JMenuBar bar = new JMenuBar();
        bar.add(help);
        frame.setJMenuBar(bar);
        JButton button = new JButton("Check for Updates\u2026");
        button.addActionListener(e -> checkForUpdates());
        frame.add(new JLabel("  Started by the Kestrova launcher from " + System.getProperty("app.dir")),
                BorderLayout.CENTER);
        frame.add(button, BorderLayout.SOUTH);
        frame.setDefaultCloseOperation(WindowConstants.DISPOSE_ON_CLOSE);
        frame.setSize(520, 160);
        frame.setVisible(true);
    }
}
