#!/usr/bin/env python3
"""The downtime of `--restore` against stopping the service, `cp` of the pair
back over the database's files and starting it, in the same round, warm and
cold. As root (cold rounds drop the page cache). Not a test.

  bench/restore_bench.py PROGRAM [--rounds N] [--sizes 1024+128,4096+128] [FOLDER]   (FOLDER: /var/tmp)

The service manager is a stand-in on PATH: its stop empties the page cache in
cold rounds, and both say when they end and begin. The downtime is what lies
between the end of the stop command and the start of the start command, by
the stand-ins' own clocks, for the restore and for cp alike."""
import argparse
import os
import shutil
import subprocess
import tempfile
import time

STUB = r"""#!/usr/bin/python3
import os, sys, time
here = os.path.dirname(os.path.abspath(__file__))
verb = sys.argv[1] if os.path.basename(sys.argv[0]) == "systemctl" else sys.argv[-1]
if verb == "stop" and os.path.exists(os.path.join(here, "cold")):
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3")
if verb in ("stop", "start"):
    with open(os.path.join(here, verb), "w") as f:
        f.write(repr(time.clock_gettime(time.CLOCK_MONOTONIC)))
sys.exit(3 if verb in ("status", "show") else 0)
"""


def ini_name(text):
    return "".join(c if ord(c) < 128 else "%U{:04X}".format(ord(c)) for c in text)


def fill(path, mib):
    block = bytearray(os.urandom(1 << 20))
    with open(path, "wb") as f:
        for i in range(mib):
            block[:8] = i.to_bytes(8, "little")  # no two MiB alike
            f.write(block)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--sizes", default="1024+128,4096+128")
    ap.add_argument("folder", nargs="?", default="/var/tmp")
    a = ap.parse_intermixed_args()
    home = tempfile.mkdtemp(prefix="zdb-restore-bench-", dir=a.folder)
    stubs = os.path.join(home, "bin")
    os.makedirs(stubs)
    for name in ("systemctl", "service"):
        with open(os.path.join(stubs, name), "w") as f:
            f.write(STUB)
        os.chmod(os.path.join(stubs, name), 0o755)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_STATE_HOME=home + "/state",
               PATH=stubs + os.pathsep + os.environ["PATH"], LANG="C.UTF-8")
    db, bk = os.path.join(home, "db"), os.path.join(home, "bk")
    live, copies = [os.path.join(db, n) for n in ("D.MDF", "L.LDF")], [os.path.join(bk, n) for n in ("D.MDF", "L.LDF")]
    values = {"DBサーバー名": f"bench{os.getpid()}", "DBデータパス": live[0], "DBログパス": live[1]}
    for row in range(7):
        values.update({f"DBデータパス1{row}": copies[0], f"DBログパス1{row}": copies[1]})
    os.makedirs(home + "/.config/QXN")
    with open(home + "/.config/QXN/QXN.ini", "w", encoding="utf-8") as f:
        f.write("[QXN]\n" + "".join(f"{ini_name('ZorvatDBバックアップ1')}\\{ini_name(k)}={v}\n"
                                    for k, v in values.items()))
    stamp = lambda verb: float(open(os.path.join(stubs, verb)).read())
    print(f"load average at the start: {os.getloadavg()[0]:.2f}", flush=True)
    print("| pair           | round | cache | cp s   | restore s | x cp  | staged before stop s |")
    print("|----------------|-------|-------|--------|-----------|-------|----------------------|")
    try:
        for size in a.sizes.split(","):
            data_mib, log_mib = (int(x) for x in size.split("+"))
            shutil.rmtree(db, ignore_errors=True)
            shutil.rmtree(bk, ignore_errors=True)
            os.makedirs(db)
            fill(live[0], data_mib)
            fill(live[1], log_mib)
            done = subprocess.run([a.program, "--run"], env=env, capture_output=True, text=True)
            assert done.returncode == 0, done.stdout + done.stderr
            for rnd in range(1, a.rounds + 1):
                for cache in ("warm", "cold"):
                    for f in live:  # the database moved on since the backup
                        with open(f, "r+b") as g:
                            g.write(os.urandom(4096))
                    if cache == "cold":
                        open(os.path.join(stubs, "cold"), "w").close()
                    else:
                        subprocess.run(["cat", *copies, *live], stdout=subprocess.DEVNULL)
                    began = time.monotonic()
                    done = subprocess.run([a.program, "--restore", "mon", "--yes"], env=env, capture_output=True,
                                          text=True)
                    assert done.returncode == 0, done.stdout + done.stderr
                    restore_s = stamp("start") - stamp("stop")
                    staged_s = stamp("stop") - began
                    for f in os.listdir(db):  # the replaced pairs
                        if ".zdbreplaced-" in f:
                            os.remove(os.path.join(db, f))
                    if cache == "warm":
                        subprocess.run(["cat", *copies, *live], stdout=subprocess.DEVNULL)
                    subprocess.run(["systemctl", "stop", "x"], env=env)
                    subprocess.run(["cp", copies[0], copies[1], db + "/"], check=True)
                    subprocess.run(["systemctl", "start", "x"], env=env)
                    cp_s = stamp("start") - stamp("stop")
                    if cache == "cold":
                        os.remove(os.path.join(stubs, "cold"))
                    print(f"| {data_mib} + {log_mib} MiB".ljust(17) + f"| {rnd:<5} | {cache:<5} | {cp_s:6.3f} | "
                          f"{restore_s:9.3f} | {restore_s / cp_s:5.3f} | {staged_s:20.3f} |", flush=True)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
