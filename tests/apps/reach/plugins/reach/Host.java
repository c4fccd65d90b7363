package reach;

import java.io.File;
import java.net.URL;
import java.net.URLClassLoader;

/** Runs the plugins of a folder: code the application's JARs do not hold. */
public final class Host {
    public static void main(String[] args) throws Exception {
        File[] jars = new File(System.getProperty("app.dir"), "plugins").listFiles();
        URL[] urls = new URL[jars.length];
        for (int i = 0; i < jars.length; i++) urls[i] = jars[i].toURI().toURL();
        try (URLClassLoader loader = new URLClassLoader(urls, Host.class.getClassLoader())) {
            Object result = loader.loadClass("plugin.Plugin").getMethod("run").invoke(null);
            System.out.println("reached=" + result);
        }
    }
}
