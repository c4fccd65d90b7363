package tessavane.kestrova.launcher;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;

/**
 * The native launcher's hand-off: it calls {@link #prepare} with the main class name from its launch
 * record, invokes the main method it returns, and, when that throws, shows the text of
 * {@link #fromException} to the user.
 */
public final class Launcher {

    private Launcher() {}

    /**
     * Loads {@code mainClassName} with the system class loader and returns its
     * {@code public static void main(String[])}, declared by that class itself.
     *
     * @throws ClassNotFoundException when the class is not on the class path
     * @throws NoSuchMethodException when it has no {@code public static void main(String[])}
     */
    public static Method prepare(String mainClassName)
            throws ClassNotFoundException, NoSuchMethodException {
        if (mainClassName == null || mainClassName.isEmpty()) {
            throw new ClassNotFoundException(
                    "The launch record names no main class; package the application again with a main class.");
        }
        // The record may name the class in JNI form (a/b/C) as well as in binary form (a.b.C).
        String binaryName = mainClassName.replace('/', '.');
        Class<?> loaded;
        try {
            loaded = Class.forName(binaryName, false, ClassLoader.getSystemClassLoader());
        } catch (ClassNotFoundException e) {
            throw new ClassNotFoundException("Main class " + binaryName
                    + " was not found on the class path " + System.getProperty("java.class.path")
                    + "; check the main class name and the JARs of the bundle.", e);
        }
        Method main;
        try {
            main = loaded.getMethod("main", String[].class);
        } catch (NoSuchMethodException e) {
            throw new NoSuchMethodException("Main class " + binaryName
                    + " has no public static void main(String[]) method.");
        }
        int modifiers = main.getModifiers();
        if (!Modifier.isStatic(modifiers) || main.getReturnType() != void.class
                || main.getDeclaringClass() != loaded) {
            throw new NoSuchMethodException("Main class " + binaryName
                    + " must declare its main method as public static void main(String[]).");
        }
        // A public method of a non-public class still needs this to be callable reflectively.
        main.setAccessible(true);
        return main;
    }

    /**
     * The text shown to the user for an exception that escaped the main method. First, as {@code java}
     * does for such an exception, the handler the application installed hears of it: the main
     * thread's own uncaught-exception handler, or else the default one. Crash reporters and loggers
     * rely on that. Whatever the handler throws is ignored, as {@code java} ignores it; a handler that
     * ends the process itself ends it with its own status.
     */
    public static String fromException(Throwable t) {
        Thread current = Thread.currentThread();
        Thread.UncaughtExceptionHandler handler = current.getUncaughtExceptionHandler();
        // Without a handler of the thread's own this is its thread group, whose answer, with no
        // default handler, would be a second copy of the stack trace the launcher prints anyway.
        if (handler == current.getThreadGroup()) {
            handler = Thread.getDefaultUncaughtExceptionHandler();
        }
        if (handler != null) {
            try {
                handler.uncaughtException(current, t);
            } catch (Throwable ignored) {
                // The application's handler failing must not cost the user the report.
            }
        }
        StringBuilder text = new StringBuilder();
        describe(text, t);
        int depth = 0;
        for (Throwable cause = t.getCause(); cause != null && cause != t && depth < 20;
                cause = cause.getCause(), depth++) {
            text.append("\nCaused by: ");
            describe(text, cause);
        }
        return text.toString();
    }

    private static void describe(StringBuilder text, Throwable t) {
        text.append(t.getClass().getName());
        String message = t.getMessage();
        if (message != null) {
            text.append(": ").append(message);
        }
    }
}
