#!/usr/bin/python3
"""The downtime of a backup made through the real window, against `cp` of the
same files to the same target in the same round. Run as root under an X
server (Xvfb will do), with xdotool:

    bench/window_downtime.py PROGRAM [--rounds N] [--folder /var/tmp]

A stand-in service manager at the front of PATH notes when the stop command
ends and when the start command begins; between the two lies the downtime.
At the stop it changes about 5 % of the data file's blocks, as a database
writing until it is stopped would. The sources (1 GiB + 128 MiB) and the
targets share one file system. Prints a table; not a test.
"""
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

STUB = r"""#!/usr/bin/python3
import os, random, sys, time
here = os.path.dirname(os.path.abspath(__file__))
words = sys.argv[1:]
verb = words[0] if os.path.basename(sys.argv[0]) == "systemctl" else words[-1]
if verb == "stop":
    with open(os.path.join(here, "changes")) as f:
        path, share = f.read().split("\n")[:2]
    size = os.path.getsize(path)
    with open(path, "r+b") as db:
        for _ in range(int(size // 65536 * float(share))):
            db.seek(random.randrange(size // 65536) * 65536)
            db.write(os.urandom(65536))
        db.flush()
        os.fsync(db.fileno())
with open(os.path.join(here, verb + ".time"), "w") as f:
    f.write(repr(time.time()))
"""

MIB = 1 << 20


def ini_name(text):
    return "".join(c if ord(c) < 128 else "%U{:04X}".format(ord(c)) for c in text)


def make(path, size):
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))
        os.fsync(f.fileno())


def cache(path, warm):
    with open(path, "rb") as f:
        if warm:
            while f.read(MIB):
                pass
        else:
            os.fsync(f.fileno())
            os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def xdotool(*args, check=True):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, check=check)


def window_round(program, home, env, sources, targets, warm):
    for name in ("stop.time", "start.time"):
        if os.path.exists(os.path.join(home, "bin", name)):
            os.remove(os.path.join(home, "bin", name))
    for s in sources:
        cache(s, warm)
    app = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        xdotool("search", "--sync", "--onlyvisible", "--pid", str(app.pid))
        time.sleep(0.5)
        xdotool("key", "Return")  # the focus is on 開始
        time.sleep(0.8)
        xdotool("key", "Return")  # はい, the default answer
        start = os.path.join(home, "bin", "start.time")
        end = time.time() + 600
        while not os.path.exists(start) and time.time() < end:
            time.sleep(0.1)
        # The restart wait and the read-back follow; then the window is idle.
        end = time.time() + 600
        while time.time() < end and (not all(os.path.exists(t) for t in targets) or any(
                ".zdbtmp-" in n for n in os.listdir(os.path.dirname(targets[0])))):
            time.sleep(0.2)
        time.sleep(4)
        with open(os.path.join(home, "bin", "stop.time")) as f:
            stopped = float(f.read())
        with open(start) as f:
            started = float(f.read())
        return started - stopped
    finally:
        app.terminate()
        try:
            app.wait(10)
        except subprocess.TimeoutExpired:
            app.kill()


def cp_round(sources, folder, warm):
    for s in sources:
        cache(s, warm)
    began = time.monotonic()
    for i, s in enumerate(sources):
        subprocess.run(["cp", s, os.path.join(folder, f"cp{i}")], check=True)
    took = time.monotonic() - began
    for i in range(len(sources)):
        os.remove(os.path.join(folder, f"cp{i}"))
    return took


def main():
    args = sys.argv[1:]
    if not args or os.geteuid() != 0 or not os.environ.get("DISPLAY") or not shutil.which("xdotool"):
        print(__doc__)
        return 2
    program = os.path.abspath(args[0])
    rounds = int(args[args.index("--rounds") + 1]) if "--rounds" in args else 3
    base = args[args.index("--folder") + 1] if "--folder" in args else "/var/tmp"
    home = tempfile.mkdtemp(prefix="zdb-window-bench-", dir=base)
    try:
        os.makedirs(os.path.join(home, "bin"))
        for name in ("systemctl", "service"):
            path = os.path.join(home, "bin", name)
            with open(path, "w") as f:
                f.write(STUB)
            os.chmod(path, 0o755)
        src = os.path.join(home, "db")
        bk = os.path.join(home, "bk")
        os.makedirs(src)
        sources = [os.path.join(src, "D.MDF"), os.path.join(src, "L.LDF")]
        targets = [os.path.join(bk, "D.MDF"), os.path.join(bk, "L.LDF")]
        make(sources[0], 1024 * MIB)
        make(sources[1], 128 * MIB)
        with open(os.path.join(home, "bin", "changes"), "w") as f:
            f.write(f"{sources[0]}\n0.05\n")
        row = datetime.date.today().weekday()
        values = {"DBサーバー名": "benchdb", "DBデータパス": sources[0], "DBログパス": sources[1],
                  f"DBデータパス1{row}": targets[0], f"DBログパス1{row}": targets[1]}
        os.makedirs(os.path.join(home, ".config", "QXN"))
        section = ini_name("ZorvatDBバックアップ1")
        with open(os.path.join(home, ".config", "QXN", "QXN.ini"), "w", encoding="utf-8") as f:
            f.write("\n".join(["[QXN]"] + [f"{section}\\{ini_name(k)}={v}" for k, v in values.items()]) + "\n")
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_STATE_HOME=os.path.join(home, "state"), PATH=os.path.join(home, "bin") + ":" + os.environ["PATH"])
        with open("/proc/loadavg") as f:
            print("load average at the start:", f.read().strip())
        table = []
        for warm in (True, False):
            downs, cps, ratios = [], [], []
            for r in range(rounds):
                cp = cp_round(sources, bk if os.path.isdir(bk) else src, warm)
                down = window_round(program, home, env, sources, targets, warm)
                print(f"  {'warm' if warm else 'cold'} round {r + 1}: cp {cp:.3f} s, window downtime {down:.3f} s")
                downs.append(down)
                cps.append(cp)
                ratios.append(down / cp)
            table.append(("warm" if warm else "cold", statistics.median(cps), statistics.median(downs),
                          statistics.median(ratios)))
        with open("/proc/loadavg") as f:
            print("load average at the end:", f.read().strip())
        print(f"\nThrough the window, same file system (ext4 here), medians of {rounds} rounds")
        print("| cache | cp s   | downtime s | x cp (same round) |")
        print("|-------|--------|------------|-------------------|")
        for cache_state, cp, down, ratio in table:
            print(f"| {cache_state:5} | {cp:6.3f} | {down:10.3f} | {ratio:17.2f} |")
        return 0
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
