package nativeprobe;

/** Loads a native library of its own by name, as Java 3D loads its OpenGL pipeline, and calls it. */
public final class NativeProbe {
    private static native int answer();

    public static void main(String[] args) {
        System.loadLibrary("kestrovanativeprobe");
        System.out.println("native.answer=" + answer());
    }
}
