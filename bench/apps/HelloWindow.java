import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.SwingUtilities;

// The benchmarks' GUI application: a Swing window that prints the CLOCK_MONOTONIC time (Java's
// System.nanoTime on Linux) once it has been opened, then exits. Anonymous classes rather than
// lambdas, so that no launcher pays for bootstrapping the lambda machinery.
public class HelloWindow {
    public static void main(String[] args) {
        SwingUtilities.invokeLater(new Runnable() {
            @Override
            public void run() {
                JFrame frame = new JFrame("Hello");
                frame.add(new JLabel("Hello, world"));
                frame.addWindowListener(new WindowAdapter() {
                    @Override
                    public void windowOpened(WindowEvent event) {
                        long now = System.nanoTime();
                        System.out.print("kestrova-bench window-opened ");
                        System.out.println(now);
                        System.exit(0);
                    }
                });
                frame.pack();
                frame.setVisible(true);
            }
        });
    }
}
