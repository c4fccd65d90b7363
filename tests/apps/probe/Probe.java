package probe;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The end-to-end tests' application: prints what it received, one "key=value" line each, then does
 * what its arguments ask. Arguments it does not know are only printed.
 */
public final class Probe {
    private static final PrintStream out =
            new PrintStream(new FileOutputStream(FileDescriptor.out), true, StandardCharsets.UTF_8);

    public static void main(String[] args) throws Exception {
        out.println("args.length=" + args.length);
        for (int i = 0; i < args.length; i++) {
            out.println("arg[" + i + "]=" + args[i]);
            StringBuilder cps = new StringBuilder();
            args[i].codePoints().forEach(cp -> cps.append(String.format("U+%04X ", cp)));
            out.println("argcp[" + i + "]=" + cps.toString().trim());
        }
        for (String key : new String[] {"app.dir", "java.class.path", "sun.java.command", "java.version",
                "java.home", "probe.marker", "java.vm.info"}) {
            out.println(key + "=" + System.getProperty(key));
        }
        out.println("env._JAVA_OPTIONS=" + System.getenv("_JAVA_OPTIONS"));
        out.println("env.JDK_JAVA_OPTIONS=" + System.getenv("JDK_JAVA_OPTIONS"));
        out.println("env.JAVA_TOOL_OPTIONS=" + System.getenv("JAVA_TOOL_OPTIONS"));

        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--throw":
                    throw new IllegalStateException(args[++i], new RuntimeException("root <cause> & more"));
                case "--throw-long": {
                    // A message too long for one program argument: "long message " then dots.
                    int length = Integer.parseInt(args[++i]);
                    throw new IllegalStateException("long message " + ".".repeat(length));
                }
                case "--hook": {
                    // A shutdown hook that leaves a file behind, as a log appender would flush one.
                    Path marker = Path.of(args[++i]);
                    Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                        try {
                            Files.writeString(marker, "hook ran");
                        } catch (Exception e) {
                            throw new RuntimeException(e);
                        }
                    }));
                    break;
                }
                case "--exit":
                    System.exit(Integer.parseInt(args[++i]));
                    break;
                case "--halt":
                    Runtime.getRuntime().halt(Integer.parseInt(args[++i]));
                    break;
                case "--xml": {
                    // Loads a good thousand classes more than a start that only prints.
                    org.w3c.dom.Document document = javax.xml.parsers.DocumentBuilderFactory.newInstance()
                            .newDocumentBuilder()
                            .parse(new java.io.ByteArrayInputStream("<a b='c'/>".getBytes(StandardCharsets.UTF_8)));
                    javax.xml.transform.TransformerFactory.newInstance().newTransformer().transform(
                            new javax.xml.transform.dom.DOMSource(document),
                            new javax.xml.transform.stream.StreamResult(new java.io.StringWriter()));
                    out.println("xml=" + document.getDocumentElement().getAttribute("b"));
                    break;
                }
                case "--nondaemon": {
                    long millis = Long.parseLong(args[++i]);
                    Thread t = new Thread(() -> {
                        try {
                            Thread.sleep(millis);
                        } catch (InterruptedException e) {
                            return;
                        }
                        out.println("nondaemon.done=true");
                    });
                    t.setDaemon(false);
                    t.start();
                    break;
                }
                case "--depth":
                    out.println("depth=" + depthUntilOverflow());
                    break;
                case "--child-env": {
                    Process p = new ProcessBuilder("/usr/bin/env").redirectErrorStream(true).start();
                    String env = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
                    p.waitFor();
                    out.println("child.has_JAVA_OPTIONS=" + env.contains("_JAVA_OPTIONS="));
                    out.println("child.has_JAVA_TOOL_OPTIONS=" + env.contains("JAVA_TOOL_OPTIONS="));
                    break;
                }
                case "--main-thread-cpu": {
                    long millis = Long.parseLong(args[++i]);
                    long before = mainThreadTicks();
                    Thread.sleep(millis);
                    out.println("main_thread_ticks=" + (mainThreadTicks() - before));
                    break;
                }
                case "--native-thread": {
                    // "PID/task/TID": the primordial thread's TID is the PID.
                    String[] self = Files.readSymbolicLink(Path.of("/proc/thread-self")).toString().split("/");
                    out.println("native.is_main_thread=" + self[0].equals(self[2]));
                    break;
                }
                case "--check-updates": {
                    // Asks from a thread of the application's own, then waits until the launcher's
                    // main thread has logged the request (or gives up after ten seconds).
                    boolean[] bridged = new boolean[1];
                    Thread asker = new Thread(() -> {
                        bridged[0] = tessavane.kestrova.updater.OnlineUpdater.checkForUpdates();
                    });
                    asker.start();
                    asker.join();
                    out.println("check.bridged=" + bridged[0]);
                    if (bridged[0]) {
                        waitForLogLine("Checking for updates ...");
                    }
                    break;
                }
                case "--exit-when": {
                    // Ends the process with the given status as soon as the file appears: the test
                    // creates it at the moment it wants the exit to happen.
                    Path signal = Path.of(args[++i]);
                    int status = Integer.parseInt(args[++i]);
                    while (!Files.exists(signal)) {
                        Thread.sleep(0, 200_000);
                    }
                    System.exit(status);
                    break;
                }
                case "--listen": {
                    // A listening socket the application holds, as a server application would.
                    java.net.ServerSocket server = new java.net.ServerSocket(0, 1,
                            java.net.InetAddress.getLoopbackAddress());
                    listening.add(server);
                    out.println("listen.port=" + server.getLocalPort());
                    break;
                }
                case "--default-handler": {
                    // A crash reporter's handler: it says what it saw, then ends the process with the
                    // given status, or returns when that is "return".
                    String then = args[++i];
                    Thread.setDefaultUncaughtExceptionHandler((thread, e) -> {
                        out.println("handler.saw=" + thread.getName() + " " + e.getMessage());
                        if (!then.equals("return")) {
                            System.exit(Integer.parseInt(then));
                        }
                    });
                    break;
                }
                case "--wait-log": {
                    waitForLogLine(args[++i]);
                    break;
                }
                default:
                    break;
            }
        }
        out.println("main.returned=true");
    }

    /** Waits up to ten seconds for the update log (KESTROVA_UPDATE_LOG) to hold a line ending in `text`. */
    private static void waitForLogLine(String text) throws Exception {
        String file = System.getenv("KESTROVA_UPDATE_LOG");
        for (int i = 0; i < 200 && file != null; i++) {
            Path path = Path.of(file);
            if (Files.exists(path) && Files.readAllLines(path).stream().anyMatch(l -> l.endsWith(text))) {
                out.println("log.seen=" + text);
                return;
            }
            Thread.sleep(50);
        }
        out.println("log.missing=" + text);
    }

    private static final java.util.List<java.net.ServerSocket> listening = new java.util.ArrayList<>();

    private static int depth;

    private static int depthUntilOverflow() {
        depth = 0;
        try {
            recurse();
        } catch (StackOverflowError e) {
            // expected: the depth reached measures the thread's stack
        }
        return depth;
    }

    private static void recurse() {
        depth++;
        recurse();
    }

    /** User plus system CPU ticks of the process's main (primordial) thread. */
    private static long mainThreadTicks() throws Exception {
        long pid = ProcessHandle.current().pid();
        String stat = Files.readString(Path.of("/proc/self/task/" + pid + "/stat"));
        String[] fields = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
        // After the command name: state is field 3, utime field 14 and stime field 15.
        return Long.parseLong(fields[11]) + Long.parseLong(fields[12]);
    }
}
