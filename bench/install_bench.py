#!/usr/bin/env python3
"""Installing an update, measured on this machine, over 127.0.0.1, with the real dialog under Xvfb.

1. Time from "Install Update" to the new version's main: the benchmarks' Hello at 1.0 (runtime
   linked) is held by the gate against a release site of 1.1 made by `kestrova-pack release`
   (runtime made with --jlink, the size of the demo's); the Return key that chooses "Install
   Update" is sent at CLOCK_MONOTONIC t0, and 1.1's main prints System.nanoTime (the same clock)
   at its end. Download, signature check, extraction, swap and the exec into 1.1 are all inside.
2. Peak memory of an install of a 200 MB archive against a 5 MB one: the same held launch, with
   1.1 carrying incompressible data. Two numbers each: the peak of the install itself (VmHWM of the
   launcher's process, sampled from /proc until the exec into 1.1 starts a new address space), and
   the peak of the whole launch (ru_maxrss, which covers both sides of the exec). The sampled
   RssAnon tells the process's own memory from mapped file pages, which the page cache shares and
   the kernel can drop.

Usage: bench/install_bench.py [--build DIR] [--runs N]   (after building the default preset)
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OFFER = "A new version is available!"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*argv, **kw):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


class Bench:
    def __init__(self, build, work):
        self.work = work
        self.pack = os.path.join(build, "stage", "bin", "kestrova-pack")
        cache = open(os.path.join(build, "CMakeCache.txt")).read()
        self.java_home = re.search(r"^KESTROVA_JAVA_HOME:PATH=(.*)$", cache, re.M).group(1)
        # The benchmarks' Hello, compiled here: the default preset does not build bench/.
        classes = os.path.join(work, "classes")
        run(os.path.join(self.java_home, "bin", "javac"), "--release", "17", "-d", classes,
            os.path.join(ROOT, "bench", "apps", "Hello.java"))
        self.jar = os.path.join(work, "hello.jar")
        run(os.path.join(self.java_home, "bin", "jar"), "cf", self.jar, "-C", classes, ".")
        self.key = os.path.join(work, "key.pem")
        self.public_key = run(self.pack, "generate-keys", "--key-file", self.key).strip()

    def bundle(self, out, version, feed, *extra):
        run(self.pack, "bundle", "--name", "Hello", "--out", out, "--force", "--main-class", "Hello", "--jar", self.jar,
            "--runtime", self.java_home, "--with-updater", "--bundle-version", version, "--feed-url", feed,
            "--public-ed-key", self.public_key, *extra)
        return os.path.join(out, "Hello.app")

    def site(self, name, port, make_new):
        """A release site of 1.1 served on `port`, with a pristine 1.0 to install from."""
        feed = "http://127.0.0.1:%d/appcast.xml" % port
        base = os.path.join(self.work, name)
        new = make_new(os.path.join(base, "new"), feed)
        run(self.pack, "release", new, "--key-file", self.key, "--site", os.path.join(base, "site"),
            "--download-url-prefix", "http://127.0.0.1:%d" % port)
        pristine = self.bundle(os.path.join(base, "pristine"), "1.0", feed)
        archive = [f for f in os.listdir(os.path.join(base, "site")) if f.endswith(".tar.gz")][0]
        size = os.path.getsize(os.path.join(base, "site", archive))
        server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                                   "--directory", os.path.join(base, "site")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        return base, pristine, server, size

    def held_install(self, base, pristine, env):
        """One held launch of a fresh copy of 1.0 that installs 1.1: (ms from the key to 1.1's main,
        install-phase VmHWM KiB, whole-launch maxrss KiB)."""
        installed_dir = os.path.join(base, "installed")
        shutil.rmtree(installed_dir, ignore_errors=True)
        os.makedirs(installed_dir)
        shutil.copytree(pristine, os.path.join(installed_dir, "Hello.app"), symlinks=True)
        launcher = os.path.join(installed_dir, "Hello.app", "Contents", "MacOS", "Hello")
        out = open(os.path.join(base, "out.txt"), "w+")
        proc = subprocess.Popen([launcher], env=env, stdout=out, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        window = ""
        while not window:
            if proc.poll() is not None or time.monotonic() > deadline:
                sys.exit("the held launch showed no offer (exit %s)" % proc.poll())
            window = subprocess.run(["xdotool", "search", "--name", "^%s$" % OFFER], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.split()
            window = window[0] if window else ""
            time.sleep(0.05)
        time.sleep(0.3)
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, check=True)
        t0 = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        subprocess.run(["xdotool", "keydown", "Return"], env=env, check=True)
        subprocess.run(["xdotool", "keyup", "Return"], env=env)
        install_peak, anon_peak, last, sampling = 0, 0, 0, True
        status_file = "/proc/%d/status" % proc.pid
        while True:
            # Reaped here, never by Popen, so that wait4 gives the child's resource usage.
            pid, wait_status, usage = os.wait4(proc.pid, 0 if not sampling else os.WNOHANG)
            if pid:
                break
            try:
                status = open(status_file).read()
                hwm = int(re.search(r"VmHWM:\s+(\d+)", status).group(1))
                anon = int(re.search(r"RssAnon:\s+(\d+)", status).group(1))
            except (OSError, AttributeError):
                hwm, anon = last, 0
            if hwm < last:
                sampling = False  # the exec: a new address space, the install is over
            else:
                last = install_peak = hwm
                anon_peak = max(anon_peak, anon)
                time.sleep(0.005)
        proc.returncode = os.waitstatus_to_exitcode(wait_status)
        out.seek(0)
        text = out.read()
        stamp = re.search(r"kestrova-bench main-end (\d+)", text)
        if stamp is None or os.waitstatus_to_exitcode(wait_status) != 0:
            sys.exit("1.1 did not run after the install (status %d): %s" % (os.waitstatus_to_exitcode(wait_status), text))
        return (int(stamp.group(1)) - t0) / 1e6, install_peak, usage.ru_maxrss, anon_peak


def start_xvfb():
    for number in range(90, 120):
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        server = subprocess.Popen(["Xvfb", ":%d" % number, "-noreset", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                return server, ":%d" % number
            time.sleep(0.05)
        server.kill()
    sys.exit("Xvfb did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    for tool in ("Xvfb", "xdotool", "zenity"):
        if shutil.which(tool) is None:
            sys.exit("%s is not installed: the install benchmark needs the real dialog" % tool)

    work = tempfile.mkdtemp(prefix="kestrova-install-bench-")
    xvfb, display = start_xvfb()
    servers = []
    try:
        bench = Bench(args.build, work)
        env = {k: v for k, v in os.environ.items()
               if k not in ("WAYLAND_DISPLAY", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS")}
        env.update(DISPLAY=display, FORCE_UPDATE_CHECK="1", XDG_STATE_HOME=os.path.join(work, "state"),
                   KESTROVA_UPDATE_LOG=os.path.join(work, "update.log"))

        # 1. The time to the new version's main, with a runtime made by jlink as a release carries.
        port = free_port()
        base, pristine, server, size = bench.site(
            "time", port, lambda out, feed: bench.bundle(out, "1.1", feed, "--jlink"))
        servers.append(server)
        times = [bench.held_install(base, pristine, env)[0] for _ in range(args.runs)]
        print("Install Update to the new version's main (archive %.1f MB, %d runs): median %.0f ms (min %.0f, max %.0f)"
              % (size / 1e6, args.runs, statistics.median(times), min(times), max(times)))

        # 2. Peak memory against the archive's size: the same bundle with incompressible data.
        for megabytes in (5, 200):
            port = free_port()

            def with_data(out, feed, megabytes=megabytes):
                data_dir = os.path.join(work, "data-%d" % megabytes)
                os.makedirs(data_dir, exist_ok=True)
                with open(os.path.join(data_dir, "payload.bin"), "wb") as f:
                    for _ in range(megabytes):
                        f.write(os.urandom(1 << 20))
                app = bench.bundle(out, "1.1", feed, "--resource", os.path.join(data_dir, "payload.bin"))
                # A runtime of its own, for the release; links to the JDK's entries keep it small.
                home = os.path.join(app, "Contents", "runtime", "Contents", "Home")
                jdk = os.path.realpath(home)
                os.remove(home)
                os.mkdir(home)
                for entry in os.listdir(jdk):
                    os.symlink(os.path.join(jdk, entry), os.path.join(home, entry))
                return app

            base, pristine, server, size = bench.site("memory-%d" % megabytes, port, with_data)
            servers.append(server)
            runs = [bench.held_install(base, pristine, env) for _ in range(max(1, args.runs // 2))]
            install_peak = min(r[1] for r in runs)
            whole_peak = min(r[2] for r in runs)
            anon_peak = min(r[3] for r in runs)
            print("Install of a %.0f MB archive: install peak %.1f MiB (VmHWM; of it at most %.1f MiB anonymous, the"
                  " rest mapped file pages), whole launch peak %.1f MiB (maxrss)"
                  % (size / 1e6, install_peak / 1024, anon_peak / 1024, whole_peak / 1024))
            shutil.rmtree(base, ignore_errors=True)
    finally:
        for server in servers:
            server.send_signal(signal.SIGTERM)
            server.wait()
        xvfb.kill()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
