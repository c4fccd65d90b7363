package reach;

import javax.tools.ToolProvider;

/** Reaches the Java compiler as Ant's javac task does: a service, found only at run time. */
public final class Compile {
    public static void main(String[] args) {
        System.out.println("reached=" + (ToolProvider.getSystemJavaCompiler() != null));
    }
}
