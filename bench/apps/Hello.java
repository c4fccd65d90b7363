// The benchmarks' console application: prints a greeting, then the CLOCK_MONOTONIC time (Java's
// System.nanoTime on Linux) at the end of main. No string concatenation: its first use bootstraps
// invokedynamic and would add its own start-up cost to every launcher measured.
public class Hello {
    public static void main(String[] args) {
        System.out.println("Hello, world");
        System.out.print("kestrova-bench main-end ");
        System.out.println(System.nanoTime());
    }
}
