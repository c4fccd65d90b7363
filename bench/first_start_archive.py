#!/usr/bin/env python3
"""Later starts of a real application after a first start that printed its version only, against
later starts after a first start that opened the window (jEdit and JOSM from Debian).

A GUI bundle's class-data archive holds what its first start loaded. After `jedit -version` or
`josm --version` that is a fraction of what the window needs, so the start that follows records
its classes and the archive is made again from them. This measures whether that second archive
makes later starts as fast as one made from a GUI first start (goal: within 2%).

Per application: one bundle (runtime linked, as the packaging script makes it), two users (two
HOMEs, so two caches). User V starts it with the version option, then once to its window; user
G starts it twice to its window. Each start is waited on until the helper has finished with the
cache (no class list left, no dump under way), so no start competes with a dump. Then the later
starts to the window (the first window whose name matches, under an Xvfb of our own) are taken
in interleaved pairs, the order swapped every pair, after one warm-up pair. Reported: medians,
the median of the per-pair ratios V/G, and the ratios' spread (lowest, quartiles, highest).

Usage: bench/first_start_archive.py [--build DIR] [--pairs N] [--apps jEdit,JOSM] [--work DIR]
Needs: apt-get install jedit josm xdotool (and a built tree: cmake --build build).
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

JEDIT_DIRS = ["modes", "properties", "macros", "startup", "keymaps", "doc"]
APPS = {
    "jEdit": {
        "pack": ["--main-jar", "/usr/share/jedit/jedit.jar"]
        + [a for d in JEDIT_DIRS if os.path.exists("/usr/share/jedit/" + d) for a in ("--resource", "/usr/share/jedit/" + d)],
        "version": ["-version"],
        # No edit server: a second jEdit of the same user would hand its files to the first.
        "gui": ["-noserver", "-nosplash"],
        "window": "jEdit",
    },
    "JOSM": {
        "pack": ["--main-jar", "/usr/share/josm/josm.jar",
                 "--jvm-option=-Djosm.restart=true", "--jvm-option=-Djava.net.useSystemProxies=true"],
        "version": ["--version"],
        "gui": [],
        "window": "Java OpenStreetMap Editor",
    },
}


def cache_busy(home):
    """True while a start's class list or a dump is still in the user's cache."""
    for _, _, files in os.walk(os.path.join(home, ".cache", "kestrova", "class-data")):
        if any(f.endswith(".classlist") or f.endswith(".dumping") for f in files):
            return True
    return False


def archives(home):
    found = []
    for top, _, files in os.walk(os.path.join(home, ".cache", "kestrova", "class-data")):
        found += [os.path.getsize(os.path.join(top, f)) for f in files if f.endswith(".jsa")]
    return found


def wait_idle(home, limit=600):
    began = time.monotonic()
    while cache_busy(home):
        if time.monotonic() - began > limit:
            sys.exit(f"the class-data helper of {home} did not finish within {limit} s")
        time.sleep(0.2)


class Bench:
    def __init__(self, args):
        self.work = os.path.abspath(args.work)
        self.pack = os.path.join(os.path.abspath(args.build), "stage", "bin", "kestrova-pack")
        self.display = None
        self.xvfb = None

    def start_xvfb(self):
        for number in range(70, 99):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                self.display = f":{number}"
                break
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env(self.work),
                              capture_output=True).returncode == 0:
                return
            time.sleep(0.1)
        sys.exit("Xvfb did not start")

    def env(self, home):
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env.update(HOME=home, DISPLAY=self.display or "")
        return env

    def bundle(self, name):
        out = os.path.join(self.work, name)
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([self.pack, "bundle", "--name", name, "--out", out] + APPS[name]["pack"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return os.path.join(out, name + ".app", "Contents", "MacOS", name)

    def to_window(self, exe, home, app, limit=180):
        """Seconds from the start until a window of the application is mapped."""
        began = time.monotonic()
        proc = subprocess.Popen([exe] + app["gui"], env=self.env(home), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        took = None
        while time.monotonic() - began < limit and proc.poll() is None:
            if subprocess.run(["xdotool", "search", "--onlyvisible", "--name", app["window"]], env=self.env(home),
                              capture_output=True).returncode == 0:
                took = time.monotonic() - began
                break
            time.sleep(0.02)
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        wait_idle(home)
        if took is None:
            sys.exit(f"{exe} showed no window named {app['window']!r} within {limit} s (status {proc.returncode})")
        return took

    def run_app(self, name, pairs):
        app = APPS[name]
        exe = self.bundle(name)
        homes = {}
        for user in ("V", "G"):
            homes[user] = os.path.join(self.work, f"home-{name}-{user}")
            shutil.rmtree(homes[user], ignore_errors=True)
            os.makedirs(homes[user])
        # jEdit's -version ends with status 1, as Debian's jedit -version does: the status is not asked.
        subprocess.run([exe] + app["version"], env=self.env(homes["V"]), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wait_idle(homes["V"])
        first_archive = archives(homes["V"])
        self.to_window(exe, homes["V"], app)
        self.to_window(exe, homes["G"], app)
        self.to_window(exe, homes["G"], app)
        times = {"V": [], "G": []}
        for pair in range(pairs + 1):
            for user in ("V", "G") if pair % 2 == 0 else ("G", "V"):
                took = self.to_window(exe, homes[user], app)
                if pair > 0:
                    times[user].append(took)
        ratios = [v / g for v, g in zip(times["V"], times["G"])]
        q = statistics.quantiles(ratios, n=4, method="inclusive") if len(ratios) >= 2 else ratios * 3
        median = statistics.median(ratios)
        mb = lambda sizes: "/".join(f"{s / 1e6:.1f}" for s in sizes) or "none"
        print(f"{name}: archive after the version start {mb(first_archive)} MB; later {mb(archives(homes['V']))} MB "
              f"(version first) and {mb(archives(homes['G']))} MB (GUI first)")
        print(f"{name}: later start to window, version first {statistics.median(times['V']):.3f} s, GUI first "
              f"{statistics.median(times['G']):.3f} s; V/G median of {len(ratios)} pairs {median:.3f}x "
              f"(lowest {min(ratios):.3f}, quartiles {q[0]:.3f}-{q[2]:.3f}, highest {max(ratios):.3f}); "
              f"goal <= 1.02x: {'met' if median <= 1.02 else 'missed'}")
        return median <= 1.02


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "first-start-bench"))
    parser.add_argument("--pairs", type=int, default=9)
    parser.add_argument("--apps", default="jEdit,JOSM")
    args = parser.parse_args()
    bench = Bench(args)
    os.makedirs(bench.work, exist_ok=True)
    with open("/proc/loadavg") as f:
        print(f"load average at the start: {f.read().split()[0]} on {os.cpu_count()} CPUs")
    bench.start_xvfb()
    try:
        met = [bench.run_app(name, args.pairs) for name in args.apps.split(",")]
    finally:
        bench.xvfb.terminate()
        bench.xvfb.wait()
    with open("/proc/loadavg") as f:
        print(f"load average at the end: {f.read().split()[0]}")
    return 0 if all(met) else 1


if __name__ == "__main__":
    sys.exit(main())
