package reach;

import java.nio.file.Files;
import java.nio.file.Path;
import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;

/**
 * Reaches the Java compiler as Ant's javac task does: a service, found only at run time. It then
 * compiles for an older release, which reads that release's signatures from the runtime's ct.sym.
 */
public final class Compile {
    public static void main(String[] args) throws Exception {
        JavaCompiler compiler = ToolProvider.getSystemJavaCompiler();
        if (compiler == null) {
            System.out.println("reached=false");
            return;
        }
        Path dir = Files.createTempDirectory("reach-compile");
        Path source = Files.writeString(dir.resolve("Old.java"), "class Old { Object o = java.util.List.of(); }\n");
        int compiled = compiler.run(null, null, null, "--release", "11", "-d", dir.toString(), source.toString());
        System.out.println("reached=" + (compiled == 0 && Files.exists(dir.resolve("Old.class"))));
        Files.deleteIfExists(dir.resolve("Old.class"));
        Files.delete(source);
        Files.delete(dir);
    }
}
