#!/usr/bin/env python3
"""What the hardening flags (KESTROVA_HARDEN) cost a start: the benchmarks' Hello bundled by two
builds' tools, one with the flags (as shipped) and one without, started interleaved (A B A B ...)
after a warm-up. Reported: start to the end of main (Hello prints System.nanoTime, CLOCK_MONOTONIC,
the clock taken before each start) and to exit, as medians with quartiles, and the pairs' ratios.
The cost is within noise when the middle half of the ratios holds 1.

Usage: bench/hardening_bench.py --hardened build --unhardened build-unhardened [--pairs N] [--warmup N]
(each a build directory of the default preset, with kestrova-pack, the launcher and the support JAR)
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JAVA_HOME = os.environ.get("JAVA_HOME", "/usr/lib/jvm/java-17-openjdk-amd64")


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def make_bundle(build, name, jar, out):
    subprocess.run([os.path.join(build, "stage", "bin", "kestrova-pack"), "bundle", "--force", "--name", name,
                    "--out", out, "--main-class", "Hello", "--jar", jar, "--runtime", JAVA_HOME],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, name + ".app", "Contents", "MacOS", name)


def start(executable):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "JAVA_TOOL_OPTIONS")}
    began = time.monotonic_ns()
    out = subprocess.run([executable], check=True, capture_output=True, text=True, env=env).stdout
    ended = time.monotonic_ns()
    stamp = next(int(line.split()[2]) for line in out.splitlines() if line.startswith("kestrova-bench main-end "))
    return (stamp - began) / 1e6, (ended - began) / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hardened", default=os.path.join(ROOT, "build"))
    parser.add_argument("--unhardened", default=os.path.join(ROOT, "build-unhardened"))
    parser.add_argument("--pairs", type=int, default=40)
    parser.add_argument("--warmup", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kestrova-hardening-") as work:
        subprocess.run([os.path.join(JAVA_HOME, "bin", "javac"), "--release", "17", "-d", work,
                        os.path.join(ROOT, "bench", "apps", "Hello.java")], check=True)
        jar = os.path.join(work, "hello.jar")
        subprocess.run([os.path.join(JAVA_HOME, "bin", "jar"), "--create", "--file", jar, "-C", work, "Hello.class"],
                       check=True)
        sides = [make_bundle(args.hardened, "HelloHardened", jar, work),
                 make_bundle(args.unhardened, "HelloUnhardened", jar, work)]
        runs = [[], []]
        for round_number in range(args.warmup + args.pairs):
            for side, executable in enumerate(sides):
                run = start(executable)
                if round_number >= args.warmup:
                    runs[side].append(run)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"{args.pairs} interleaved pairs after {args.warmup} warm-up rounds; load average {load}")
    print("| Start to | hardened, median (quartiles) | not hardened, median (quartiles) | ratio, median of pairs "
          "(quartiles) | within noise |")
    print("| --- | --- | --- | --- | --- |")
    for index, what in enumerate(("end of main", "exit")):
        a = [r[index] for r in runs[0]]
        b = [r[index] for r in runs[1]]
        ratios = [x / y for x, y in zip(a, b)]
        low, high = quartiles(ratios)
        print(f"| {what} | {statistics.median(a):.1f} ms ({quartiles(a)[0]:.1f} to {quartiles(a)[1]:.1f}) "
              f"| {statistics.median(b):.1f} ms ({quartiles(b)[0]:.1f} to {quartiles(b)[1]:.1f}) "
              f"| {statistics.median(ratios):.3f}x ({low:.3f} to {high:.3f}) | {'yes' if low <= 1 <= high else 'no'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
