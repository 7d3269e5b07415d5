"""The downtime of a backup made through the real window, against `cp` of the
same two files to the same folder in the same round, warm and cold, and the
same backup through `--run`. Run by window_bench.sh, which brings up the X
server and the accessibility bus; as root (the cold rounds drop the caches).

The window is driven as an operator drives it (tests/e2e/harness.py: pointer
and key presses, read back through the accessibility bus). The service manager
is a stand-in: its stop writes about 5 % of the sources' 64 KiB blocks anew
(the database writing on after the pre-copy), flushes, and leaves the sources
in the cache or drops every cache; its start answers at once. The downtime
shown is what lies between the end of the stop command and the start of the
start command, read from the stand-ins' own clocks; both also read the
processor time of the window and of the X server and accessibility daemons
there, so that what the window spends while the service is down is seen.
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from harness import App, engines, wait_for  # noqa: E402

MIB = 1 << 20
SERVICE = f"BENCHDB{os.getpid()}"
DONE = "正常に処理終了しました"

# The stop: run by the stand-in with the engine's process id.
STOP = r'''
import json, os, sys, time
here = os.path.dirname(os.path.abspath(__file__))
began = time.time()
with open(os.path.join(here, "round.json")) as f:
    r = json.load(f)
# Pre-copied: a staged copy of each source's size waits beside its target.
staged = []
for src, folder in r["pairs"]:
    size = os.path.getsize(src)
    staged.append(any(".zdbtmp-" in n and os.path.getsize(os.path.join(folder, n)) == size
                      for n in os.listdir(folder)))
seed = r["seed"]
for src, _ in r["pairs"]:
    block = os.urandom(65536)
    fd = os.open(src, os.O_WRONLY)
    blocks = os.fstat(fd).st_size // 65536
    for _ in range(int(blocks * 0.05)):
        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
        os.pwrite(fd, block, (seed >> 4) % blocks * 65536)
    os.fsync(fd)
    os.close(fd)
os.sync()
if r["cold"] == "all":
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3")
elif r["cold"]:
    for src, _ in r["pairs"]:
        fd = os.open(src, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
else:
    for src, _ in r["pairs"]:
        with open(src, "rb") as f:
            while f.read(1 << 20):
                pass
def cpu(pid):
    """Processor time of each thread, ns."""
    times = {}
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                times[tid] = int(f.read().split()[0])
    except OSError:
        pass
    return times
def faults(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return [int(fields[7]), int(fields[9])]  # minor, major
with open("/proc/stat") as f:
    machine = f.readline().split()[1:]
record = {"began": began, "staged": staged, "engine": cpu(sys.argv[1]), "machine": machine,
          "faults": faults(r["watch"]["window"]) + faults(sys.argv[1]),
          "cpu": {name: cpu(pid) for name, pid in r["watch"].items()}}
record["end"] = time.time()
with open(os.path.join(here, "stop.json"), "w") as f:
    json.dump(record, f)
os._exit(0)
'''

# The service manager's two names. The start's clock is read first, by the
# smallest program at hand: what it takes to start lies inside the downtime.
MANAGER = """#!/bin/sh
H='{folder}'
case " $* " in
*" start "*)
  /bin/date +%s.%N >"$H/start.time"
  /bin/grep -H '' /proc/$PPID/task/*/schedstat {globs} /proc/stat >"$H/start.cpu" 2>/dev/null
  /bin/cat /proc/{window}/stat /proc/$PPID/stat >"$H/start.stat"
  exit 0;;
*" stop "*) exec /usr/bin/python3 -I -S "$H/stop.py" $PPID;;
esac
echo ActiveState=active
echo LoadState=loaded
"""


def ini_name(text):
    """A name as the settings store writes it in its INI file."""
    return "".join(c if ord(c) < 128 else "%U{:04X}".format(ord(c)) for c in text)


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def session_daemons():
    """The bus daemons of this bench's own session, by "name pid" (the machine
    may run other sessions), with the X server and window manager the wrapper
    names in ZDB_BENCH_PIDS."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                comm, _, rest = f.read().rpartition(")")
            comm = comm.partition("(")[2]
        except OSError:
            continue
        if int(rest.split()[3]) == os.getsid(0) and comm in ("at-spi2-registr", "at-spi-bus-laun", "dbus-daemon"):
            found[f"{comm} {pid}"] = int(pid)
    for word in os.environ.get("ZDB_BENCH_PIDS", "").split():
        name, _, pid = word.partition(":")
        found[f"{name} {pid}"] = int(pid)
    return found


def make_file(path, size):
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))
        os.fsync(f.fileno())


def set_cache(paths, cold):
    """cold: "all" drops every cache, "sources" the sources' pages alone."""
    os.sync()
    if cold == "all":
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3")
    elif cold:
        for p in paths:
            fd = os.open(p, os.O_RDONLY)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)
    else:
        for p in paths:
            with open(p, "rb") as f:
                while f.read(MIB):
                    pass


class Bench:
    def __init__(self, base, program):
        self.program = program
        self.work = tempfile.mkdtemp(prefix="zdb-window-bench-", dir=base)
        self.home = os.path.join(self.work, "home")
        self.stubs = os.path.join(self.work, "bin")
        self.db = os.path.join(self.work, "db")
        self.target = os.path.join(self.work, "target")
        for d in (self.home, self.stubs, self.db, self.target):
            os.makedirs(d)
        self.sources = [os.path.join(self.db, "DATA.MDF"), os.path.join(self.db, "DATA_LOG.LDF")]
        self.targets = [os.path.join(self.target, "DATA.MDF"), os.path.join(self.target, "DATA_LOG.LDF")]
        self.history = os.path.join(self.home, ".local", "state", "zorvatdbbackup", "history.jsonl")
        values = {"DBサーバー名": SERVICE, "DBデータパス": self.sources[0], "DBログパス": self.sources[1]}
        for row in range(8):
            values[f"DBデータパス1{row}"] = self.targets[0]
            values[f"DBログパス1{row}"] = self.targets[1]
        os.makedirs(os.path.join(self.home, ".config", "QXN"))
        with open(os.path.join(self.home, ".config", "QXN", "QXN.ini"), "w", encoding="utf-8") as f:
            section = ini_name("ZorvatDBバックアップ1")
            f.write("[QXN]\n" + "".join(f"{section}\\{ini_name(k)}={v}\n" for k, v in values.items()))
        with open(os.path.join(self.stubs, "stop.py"), "w") as f:
            f.write(STOP)
        self.seed = 1
        self.app = None
        self.perf = None
        self.watch = {}

    def start_window(self):
        os.environ.pop("XDG_STATE_HOME", None)
        self.app = App(self.home, extra_path=self.stubs)
        self.watch = {"window": self.app.pid, **session_daemons()}
        globs = " ".join(f"/proc/{pid}/task/*/schedstat" for pid in self.watch.values())
        for name in ("service", "systemctl"):
            path = os.path.join(self.stubs, name)
            with open(path, "w") as f:
                f.write(MANAGER.format(folder=self.stubs, globs=globs, window=self.app.pid))
            os.chmod(path, 0o755)

    def close(self):
        if self.perf:
            self.perf.send_signal(signal.SIGINT)
            self.perf.wait()
        if self.app:
            self.app.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def records(self):
        """The closed records, oldest first."""
        found = []
        try:
            with open(self.history, encoding="utf-8") as f:
                for line in f:
                    try:
                        record = json.loads(line)
                    except ValueError:
                        continue  # being written, or torn
                    if not record.get("open"):  # a run's first record, written as it begins
                        found.append(record)
        except FileNotFoundError:
            pass
        return found

    def clear_targets(self):
        for name in os.listdir(self.target):
            os.remove(os.path.join(self.target, name))
        os.sync()

    def cp(self, cold):
        outputs = [os.path.join(self.target, "cp.MDF"), os.path.join(self.target, "cp.LDF")]
        set_cache(self.sources, cold)
        began = time.monotonic()
        for src, out in zip(self.sources, outputs):
            subprocess.run(["cp", src, out], check=True)
        took = time.monotonic() - began
        for out in outputs:
            os.remove(out)
        os.sync()
        return {"down": took}

    def prepare(self, cold):
        self.clear_targets()
        for name in ("stop.json", "start.time", "start.cpu", "start.stat"):
            if os.path.exists(os.path.join(self.stubs, name)):
                os.remove(os.path.join(self.stubs, name))
        with open(os.path.join(self.stubs, "round.json"), "w") as f:
            json.dump({"pairs": [[s, self.target] for s in self.sources], "seed": self.seed, "cold": cold,
                       "watch": self.watch}, f)
        self.seed += 7919

    def outcome(self, before):
        """The stand-ins' clocks and the run's record."""
        wait_for(lambda: len(self.records()) > before, 300, "the run's record")
        wait_for(lambda: not engines(), 60, "the engine to end")
        record = self.records()[-1]
        with open(os.path.join(self.stubs, "stop.json")) as f:
            stop = json.load(f)
        with open(os.path.join(self.stubs, "start.time")) as f:
            start = float(f.read())
        # Each thread's time since the stop's reading (a thread gone meanwhile is missed).
        cpu = {}
        with open(os.path.join(self.stubs, "start.cpu")) as f:
            for line in f:
                path, _, value = line.partition(":")
                if path == "/proc/stat":
                    if value.startswith("cpu "):
                        machine = value.split()[1:]
                    continue
                pid, tid = path.split("/")[2], path.split("/")[4]
                name = next((n for n, p in self.watch.items() if str(p) == pid), "engine")
                before = (stop["engine"] if name == "engine" else stop["cpu"][name]).get(tid, 0)
                cpu[name] = cpu.get(name, 0) + int(value.split()[0]) - before
        if not (record["ok"] and record["committed"] and all(stop["staged"])):
            raise RuntimeError(f"the run failed or did not pre-copy: {record} {stop['staged']}")
        with open(os.path.join(self.stubs, "start.stat")) as f:
            stats = [line.rpartition(")")[2].split() for line in f]
        faults = [int(fields[i]) for fields in stats for i in (7, 9)]
        return {
            "down": start - stop["end"],
            "from": stop["end"],
            "history": record["downtimeMs"] / 1000,
            "stand-in stop": stop["end"] - stop["began"],
            "cpu": {name: cpu.get(name, 0) / 1e6 for name in self.watch},
            "engine cpu": cpu.get("engine", 0) / 1e6,
            # The whole machine's processor time in the downtime by kind, ms:
            # what others ran (user, system) and what the host took (steal).
            "machine": {kind: (int(machine[i]) - int(stop["machine"][i])) * 1000 // os.sysconf("SC_CLK_TCK")
                        for kind, i in (("user", 0), ("system", 2), ("idle", 3), ("iowait", 4), ("steal", 7))},
            # minor and major page faults of the window, then of the engine
            "faults": [b - a for a, b in zip(stop["faults"], faults)],
        }

    def window(self, cold):
        self.prepare(cold)
        set_cache(self.sources, cold)
        before = len(self.records())
        self.app.click("YES")
        self.app.answer("はい")
        result = self.outcome(before)
        wait_for(lambda: self.app.text("MSG1") == DONE, 30, "the end of the run in the window")
        return result

    def traced(self, out):
        """One more warm run through the window with strace on the window:
        its system calls while the service is down, by count. Slowed by the
        tracing, so its downtime is no figure."""
        # Each of its threads, not -f: that would follow into the engine.
        threads = [w for tid in os.listdir(f"/proc/{self.app.pid}/task") for w in ("-p", tid)]
        tracer = subprocess.Popen(["strace", "-ttt", "-o", out, *threads], stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(out) and os.path.getsize(out) > 0, 10, "strace to attach")
        result = self.window(False)
        tracer.terminate()
        tracer.wait()
        with open(os.path.join(self.stubs, "stop.json")) as f:
            began = json.load(f)["end"]
        ended = began + result["down"]
        calls = {}
        with open(out) as f:
            for line in f:
                words = line.split(None, 2)
                if len(words) == 3 and began <= float(words[1]) <= ended and not words[2].startswith("<..."):
                    name = f"{words[0]} {words[2].split('(')[0]}"
                    calls[name] = calls.get(name, 0) + 1
        print(f"\nthe window's system calls in a traced run's {result['down']:.3f} s of downtime, from {began:.6f} "
              "(thread, call, count):")
        for name, count in sorted(calls.items(), key=lambda kv: -kv[1]):
            print(f"  {name} {count}")

    def run(self, cold):
        self.prepare(cold)
        set_cache(self.sources, cold)
        before = len(self.records())
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_STATE_HOME")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   PATH=self.stubs + os.pathsep + env["PATH"], TMPDIR=os.path.join(self.home, "tmp"))
        done = subprocess.run([self.program, "--run"], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=600)
        if done.returncode != 0 or "事前コピー中です" not in done.stdout:
            raise RuntimeError(f"--run: exit {done.returncode}\n{done.stdout}\n{done.stderr}")
        return self.outcome(before)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data-mib", type=int, default=1024)
    parser.add_argument("--log-mib", type=int, default=128)
    parser.add_argument("--cache", choices=("both", "warm", "cold"), default="both")
    parser.add_argument("--drop", choices=("all", "sources"), default="all",
                        help="cold: drop every cache (echo 3 > /proc/sys/vm/drop_caches) or the sources' pages alone")
    parser.add_argument("--strace", metavar="FILE", help="then one run with strace on the window, kept in FILE")
    parser.add_argument("--perf", metavar="FILE", help="perf record of the window throughout, into FILE")
    parser.add_argument("folder", nargs="?", default="/var/tmp")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("SKIPPED: needs root (the cold rounds drop the caches)")
        return 77
    bench = Bench(args.folder, os.environ["ZDB_PROGRAM"])
    try:
        fstype = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", bench.work], capture_output=True,
                                text=True).stdout.strip()
        print(f"{args.data_mib} MiB + {args.log_mib} MiB in {bench.work} ({fstype}), load average "
              f"{open('/proc/loadavg').read().strip()}", flush=True)
        make_file(bench.sources[0], args.data_mib * MIB)
        make_file(bench.sources[1], args.log_mib * MIB)
        bench.start_window()
        print("watched: " + ", ".join(bench.watch), flush=True)
        if args.perf:
            # Wall-clock stamps, to be cut at the downtimes printed below:
            # perf script -i FILE --time FROM,TO --pid WINDOW
            bench.perf = subprocess.Popen(["perf", "record", "-q", "-k", "CLOCK_REALTIME", "-F", "4999", "-g", "-o",
                                           args.perf, "-p", str(bench.app.pid)], stderr=subprocess.DEVNULL)
        ways = [("cp", bench.cp), ("window", bench.window), ("--run", bench.run)]
        rows = []
        for round_ in range(1, args.rounds + 1):
            for cold in [c for c in (False, True) if args.cache in ("both", ("warm", "cold")[c])]:
                row = {"round": round_, "cache": "cold" if cold else "warm", "load": load()}
                # The order turns each round: none always follows another.
                for k in range(len(ways)):
                    name, way = ways[(k + round_) % len(ways)]
                    row[name] = way(cold and args.drop)
                rows.append(row)
                report(row)
        table(rows, args)
        if args.strace:
            bench.traced(args.strace)
    finally:
        bench.close()
    return 0


def report(row):
    """One round as it ends, with what the table leaves out."""
    w, r = row["window"], row["--run"]
    print(f"  round {row['round']} {row['cache']}, load {row['load']}: cp {row['cp']['down']:.3f} s; window "
          f"{w['down']:.3f} s from {w['from']:.6f} (history {w['history']:.3f} s, the stand-in's stop "
          f"{w['stand-in stop']:.3f} s of it); --run {r['down']:.3f} s (history {r['history']:.3f} s)", flush=True)
    print("    processor ms in the window's downtime: " + ", ".join(f"{n} {v:.1f}" for n, v in w["cpu"].items())
          + f", engine {w['engine cpu']:.1f} (--run's {r['engine cpu']:.1f}); machine: "
          + ", ".join(f"{k} {v}" for k, v in w["machine"].items())
          + f"; page faults minor/major: window {w['faults'][0]}/{w['faults'][1]}, engine "
          f"{w['faults'][2]}/{w['faults'][3]}", flush=True)


def table(rows, args):
    others = [n for n in rows[0]["window"]["cpu"] if n != "window"]
    print(f"\n{args.data_mib} MiB + {args.log_mib} MiB, same file system, 5 % of the blocks changed before the "
          "stop; downtime = end of the stop command to start of the start command; processor time in the window's "
          "downtime; idle, steal: the machine's, all cores, 10 ms steps")
    print("| round | cache | load | cp s  | window s | x cp | --run s | x cp | window cpu ms | engine cpu ms | "
          "X + a11y cpu ms | idle, steal ms |")
    print("|-------|-------|------|-------|----------|------|---------|------|---------------|---------------|"
          "-----------------|----------------|")

    def line(label, cache, ld, cp, win, run, wcpu, ecpu, ocpu, machine=None):
        spare = f"{machine['idle']}, {machine['steal']}" if machine else ""
        print(f"| {label:<5} | {cache:<5} | {ld:>4} | {cp:.3f} | {win:8.3f} | {win / cp:4.2f} | {run:7.3f} | "
              f"{run / cp:4.2f} | {wcpu:13.1f} | {ecpu:13.1f} | {ocpu:15.1f} | {spare:>14} |")

    for r in rows:
        w = r["window"]
        line(str(r["round"]), r["cache"], r["load"], r["cp"]["down"], w["down"], r["--run"]["down"],
             w["cpu"]["window"], w["engine cpu"], sum(w["cpu"][n] for n in others), w["machine"])
    med = statistics.median
    caches = [c for c in ("warm", "cold") if any(r["cache"] == c for r in rows)]
    for cache in caches:
        sel = [r for r in rows if r["cache"] == cache]
        line("med.", cache, "", med(r["cp"]["down"] for r in sel), med(r["window"]["down"] for r in sel),
             med(r["--run"]["down"] for r in sel), med(r["window"]["cpu"]["window"] for r in sel),
             med(r["window"]["engine cpu"] for r in sel),
             med(sum(r["window"]["cpu"][n] for n in others) for r in sel))
    for cache in caches:
        sel = [r for r in rows if r["cache"] == cache]
        ratios = [r["window"]["down"] / r["cp"]["down"] for r in sel]
        print(f"{cache}: window / cp round by round " + ", ".join(f"{x:.2f}" for x in ratios)
              + f" (median {med(ratios):.2f}); --run / cp "
              + ", ".join(f"{r['--run']['down'] / r['cp']['down']:.2f}" for r in sel))
    print(f"load average at the end: {open('/proc/loadavg').read().strip()}")


if __name__ == "__main__":
    sys.exit(main())
