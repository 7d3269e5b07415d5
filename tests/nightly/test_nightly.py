"""The nightly run from a shell with no display: `--run [--settings N]`
against a stand-in service manager."""
import ctypes
import filecmp
import glob
import json
import os
import shutil
import stat
import socket
import subprocess
import sys
import tempfile
import unittest

PROGRAM = os.environ["ZDB_PROGRAM"]
UNITS = os.environ["ZDB_UNITS"]
# Of this test process alone: the run lock of a service is machine-wide, and
# other test runs may back up their own 売上DB at the same time.
SERVICE = f"売上DB{os.getpid()}"

STUB = r"""#!/usr/bin/python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "calls.jsonl"), "a", encoding="utf-8") as f:
    f.write(json.dumps([os.path.basename(sys.argv[0])] + sys.argv[1:], ensure_ascii=False) + "\n")
words = sys.argv[1:]
verb = words[0] if os.path.basename(sys.argv[0]) == "systemctl" else words[-1]
hook = os.path.join(here, "hook-" + verb)
if os.path.exists(hook):
    # Something the service manager leaves running; it says when it runs.
    import subprocess, time
    subprocess.Popen([sys.executable, hook], start_new_session=True)
    for _ in range(500):
        if os.path.exists(hook + ".started"):
            break
        time.sleep(0.01)
try:
    with open(os.path.join(here, "exit-" + verb)) as f:
        sys.exit(int(f.read()))
except FileNotFoundError:
    sys.exit(0)
"""


def ini_name(text):
    """A name as the settings store writes it in its INI file."""
    return "".join(c if ord(c) < 128 else "%U{:04X}".format(ord(c)) for c in text)


class NightlyTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="zdb-nightly-")
        self.bin = os.path.join(self.home, "bin")
        os.makedirs(self.bin)
        for name in ("systemctl", "service"):
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(STUB)
            os.chmod(path, 0o755)
        self.src = os.path.join(self.home, "db")
        self.make_sources()

    def make_sources(self):
        os.makedirs(self.src, exist_ok=True)
        for name, size in (("D.MDF", 1024 * 1024 + 7), ("L.LDF", 4096 + 1)):
            path = os.path.join(self.src, name)
            if os.path.exists(path):
                os.remove(path)
            with open(path, "wb") as f:
                f.write(os.urandom(size))

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def store(self, number, values):
        """Settings under a number, written as the program's store keeps them."""
        folder = os.path.join(self.home, ".config", "QXN")
        os.makedirs(folder, exist_ok=True)
        section = ini_name("ZorvatDBバックアップ" + number)
        lines = ["[QXN]"] + [f"{section}\\{ini_name(k)}={v}" for k, v in values.items()]
        with open(os.path.join(folder, "QXN.ini"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def row_values(self, row):
        return {
            "DBサーバー名": SERVICE,
            "DBデータパス": os.path.join(self.src, "D.MDF"),
            "DBログパス": os.path.join(self.src, "L.LDF"),
            f"DBデータパス1{row}": os.path.join(self.home, f"bk{row}", "D.MDF"),
            f"DBログパス1{row}": os.path.join(self.home, f"bk{row}", "L.LDF"),
            # その他 holds targets too: a nightly run never takes them.
            "DBデータパス17": os.path.join(self.home, "bk7", "D.MDF"),
            "DBログパス17": os.path.join(self.home, "bk7", "L.LDF"),
        }

    def run_program(self, *args, when=None, prefix=(), **extra):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_STATE_HOME=os.path.join(self.home, "state"), PATH=self.bin + os.pathsep + env["PATH"],
                   LANG="C.UTF-8", LC_ALL="C.UTF-8")
        env.pop("QT_QPA_PLATFORM", None)
        # faketime preloads its library ahead of a sanitizer's runtime; that is fine.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        cmd = [*prefix, PROGRAM, *args]
        if when:
            # The library alone: the faketime wrapper refuses to start where an
            # earlier wrapper with the same process id, ended by a signal, left
            # its semaphore behind.
            env["LD_PRELOAD"] = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + ["libfaketime.so.1"])[0]
            env["FAKETIME"] = "@" + when
        env.update(extra.pop("env", {}))
        if "stdout" not in extra:
            extra["capture_output"] = True
        done = subprocess.run(cmd, env=env, text=True, timeout=120, stdin=subprocess.DEVNULL, **extra)
        self.said = f"exit {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}"
        return done

    def calls(self):
        try:
            with open(os.path.join(self.bin, "calls.jsonl"), encoding="utf-8") as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def verbs(self):
        return [c[1] if c[0] == "systemctl" else c[-1] for c in self.calls()]

    def test_run_by_weekday(self):
        # 2026-12-09 is a Wednesday: row 2.
        self.store("3", self.row_values(2))
        done = self.run_program("--run", "--settings", " 3 ", when="2026-12-09 02:00:00")
        self.assertEqual(done.returncode, 0, self.said)
        target = os.path.join(self.home, "bk2")
        self.assertEqual(done.stdout.splitlines(), [
            "1.処理中です... 退避先:" + os.path.join(target, "D.MDF"),
            "2.処理中です... 退避先:" + os.path.join(target, "L.LDF"),
            "SQLServer開始処理中です... ",
            "3.検証中です... 退避先:" + os.path.join(target, "D.MDF"),
            "3.検証中です... 退避先:" + os.path.join(target, "L.LDF"),
            "正常に処理終了しました",
        ], self.said)
        self.assertEqual(self.verbs(), ["stop", "start"], self.said)
        self.assertTrue(filecmp.cmp(os.path.join(self.src, "D.MDF"), os.path.join(target, "D.MDF"), shallow=False))
        self.assertTrue(filecmp.cmp(os.path.join(self.src, "L.LDF"), os.path.join(target, "L.LDF"), shallow=False))
        self.assertFalse(os.path.exists(os.path.join(self.home, "bk7")))

    def test_failed_stop(self):
        self.store("1", self.row_values(2))
        with open(os.path.join(self.bin, "exit-stop"), "w") as f:
            f.write("5")
        done = self.run_program("--run", when="2026-12-09 02:00:00")
        self.assertEqual(done.returncode, 1, self.said)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], "エラーです。ＤＢサービスを、停止できません。", self.said)
        self.assertEqual(lines[-1], "異常終了しました", self.said)
        self.assertEqual(len(lines), 8, self.said)  # the seven lines of the message, then the end
        self.assertEqual(self.verbs(), ["stop"])

    def test_bad_usage_touches_no_service(self):
        self.store("1", self.row_values(2))
        for args, word in ((["--run", "--settings", "4"], "設定番号 4"),  # nothing stored there
                           (["--run", "--frobnicate"], "--frobnicate"),
                           (["--settings", "1"], "--run")):
            with self.subTest(args=args):
                done = self.run_program(*args, when="2026-12-09 02:00:00")
                self.assertEqual(done.returncode, 2, self.said)
                self.assertIn(word, done.stderr, self.said)
        # Today (a Thursday, row 3) has no targets stored.
        done = self.run_program("--run", when="2026-12-10 02:00:00")
        self.assertEqual(done.returncode, 2, self.said)
        self.assertIn("退避先", done.stderr, self.said)
        self.assertEqual(self.calls(), [])

    def test_unreadable_settings_are_named(self):
        # A folder where the settings file belongs.
        ini = os.path.join(self.home, ".config", "QXN", "QXN.ini")
        os.makedirs(ini)
        done = self.run_program("--run", when="2026-12-09 02:00:00")
        self.assertEqual(done.returncode, 2, self.said)
        self.assertIn("設定ファイルを読み込めません。", done.stderr, self.said)
        self.assertIn(ini, done.stderr, self.said)
        self.assertEqual(self.calls(), [])

    # A writer the stop did not stop: same-size writes while the data file is copied.
    WRITER = r"""
import os, random, sys, time
path = sys.argv[0] + ".target"
fd = os.open(open(path).read(), os.O_WRONLY)
open(sys.argv[0] + ".started", "w").close()
end = time.monotonic() + 3
while time.monotonic() < end:
    os.pwrite(fd, os.urandom(4096), random.randrange(0, 60) * 4096)
"""

    def old_pair(self, folder, data=b"old data", log=b"old log"):
        os.makedirs(folder, exist_ok=True)
        for name, body in (("D.MDF", data), ("L.LDF", log)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(body)

    def pair(self, folder, data=b"old data", log=b"old log"):
        """'old', 'new' or what the row holds instead."""
        def read(name):
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    return f.read()
            except OSError:
                return None
        got = (read("D.MDF"), read("L.LDF"))
        if got == (data, log):
            return "old"
        news = tuple(read(os.path.join(self.src, n)) for n in ("D.MDF", "L.LDF"))
        return "new" if got == news else f"mixed {[g if g is None else len(g) for g in got]}"

    def test_faults_on_the_real_program(self):
        """Each row: a fault, then the exit, a line the output must hold, the
        service calls and what the row holds after the run."""
        row = os.path.join(self.home, "bk2")
        fifo_box = "エラーです 75"

        def writer():
            with open(os.path.join(self.src, "D.MDF"), "wb") as f:
                f.write(os.urandom(1 << 20) * 64)
            with open(os.path.join(self.bin, "hook-stop.target"), "w") as f:
                f.write(os.path.join(self.src, "D.MDF"))
            with open(os.path.join(self.bin, "hook-stop"), "w") as f:
                f.write(self.WRITER)

        def fifo(path):
            def make():
                os.remove(path)
                os.mkfifo(path)
            return make

        def device():
            os.remove(os.path.join(row, "D.MDF"))
            os.mknod(os.path.join(row, "D.MDF"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))

        def undecodable():
            folder = os.path.join(self.home.encode(), b"\xff\xfe")
            os.makedirs(folder)
            os.remove(os.path.join(row, "D.MDF"))
            os.symlink(os.path.join(folder, b"D.MDF"), os.path.join(row, "D.MDF").encode())

        def start_fails():
            with open(os.path.join(self.bin, "exit-start"), "w") as f:
                f.write("1")

        def blanks():
            return {"DBデータパス12": '"  ' + os.path.join(row, "D.MDF") + '"'}  # quoted, as the store keeps blanks

        rows = [
            ("source written during the copy", writer, 1, "複写中に変更されました", ["stop", "start"], "old"),
            ("data target is a pipe", fifo(os.path.join(row, "D.MDF")), 1, fifo_box, [], None),
            ("data target is a device", device, 1, fifo_box, [], None),
            ("log source is a pipe", fifo(os.path.join(self.src, "L.LDF")), 1, fifo_box, [], "old"),
            ("link into a folder named by no text", undecodable, 1, fifo_box, [], None),
            ("target typed with blanks before it", blanks, 1, "エラーです 76", [], "old"),
            ("start fails", start_fails, 1, "ＤＢサービスを、開始できません", ["stop", "start"], "new"),
        ]
        for name, setup, code, line, verbs, holds in rows:
            with self.subTest(name):
                shutil.rmtree(row, ignore_errors=True)
                for stale in glob.glob(os.path.join(self.bin, "*-*")) + [os.path.join(self.bin, "calls.jsonl")]:
                    os.remove(stale) if os.path.exists(stale) else None
                self.make_sources()
                self.old_pair(row)
                self.store("1", {**self.row_values(2), **(setup() or {})})
                done = self.run_program("--run", when="2026-12-09 02:00:00", cwd=self.home)
                self.assertEqual(done.returncode, code, self.said)
                self.assertIn(line, done.stdout, self.said)
                self.assertEqual(done.stdout.splitlines()[-1], "異常終了しました" if code else "正常に処理終了しました")
                self.assertEqual(self.verbs(), verbs, self.said)
                if holds:
                    self.assertEqual(self.pair(row), holds, self.said)
                else:  # what stood at the target stands there still
                    self.assertFalse(stat.S_ISREG(os.lstat(os.path.join(row, "D.MDF")).st_mode), self.said)
                # Nothing made elsewhere: no folder of replacement characters, no "  ".
                self.assertEqual([n for n in os.listdir(self.home) if "\ufffd" in n or n.startswith(" ")], [])

    def test_help_and_version(self):
        done = self.run_program("--help")
        self.assertEqual(done.returncode, 0, self.said)
        for word in ("--run", "--settings", "Usage", "使い方"):
            self.assertIn(word, done.stdout)
        done = self.run_program("--version")
        self.assertEqual(done.stdout.strip().split()[0], "ZorvatDBバックアップ", self.said)

    def history(self):
        return os.path.join(self.home, "state", "zorvatdbbackup", "history.jsonl")

    def test_verify_places_a_changed_copy(self):
        self.store("1", self.row_values(2))
        done = self.run_program("--run", when="2026-12-09 02:00:00")
        self.assertEqual(done.returncode, 0, self.said)
        done = self.run_program("--verify")
        self.assertEqual(done.returncode, 0, self.said)
        self.assertEqual(done.stdout.count("照合済み"), 2, self.said)
        data, log = (os.path.join(self.home, "bk2", name) for name in ("D.MDF", "L.LDF"))
        with open(data, "r+b") as f:  # one byte flipped in the second MiB
            f.seek(1024 * 1024 + 3)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0xFF]))
        os.remove(log)
        done = self.run_program("--verify")
        self.assertEqual(done.returncode, 1, self.said)
        lines = done.stdout.splitlines()
        self.assertIn(f"水 データ  不一致 (differs) 1 MiB 目から（オフセット 1048576）  {data}", lines, self.said)
        self.assertIn(f"水 ログ    見つかりません (missing)  {log}", lines, self.said)
        self.assertTrue(os.path.exists(data))  # changes nothing
        self.assertEqual(self.verbs(), ["stop", "start"], self.said)

    def test_status_exit_around_the_age_limit(self):
        self.store("1", self.row_values(2))
        done = self.run_program("--status", when="2026-12-09 02:00:00")
        self.assertEqual(done.returncode, 1, self.said)  # nothing recorded yet
        self.assertEqual(self.run_program("--run", when="2026-12-09 02:00:00").returncode, 0, self.said)
        # A failure afterwards changes nothing of the age.
        with open(os.path.join(self.bin, "exit-stop"), "w") as f:
            f.write("5")
        self.assertEqual(self.run_program("--run", when="2026-12-09 03:00:00").returncode, 1, self.said)
        for when, args, code in (("2026-12-10 03:59:00", [], 0),
                                 ("2026-12-10 04:01:00", [], 1),
                                 ("2026-12-10 04:01:00", ["--max-age", "30"], 0),
                                 ("2026-12-09 04:01:00", ["--max-age", "2"], 1),
                                 ("2026-12-09 04:01:00", ["--settings", "2"], 1)):
            with self.subTest(when=when, args=args):
                done = self.run_program("--status", *args, when=when)
                self.assertEqual(done.returncode, code, self.said)
                if "--settings" not in args:
                    self.assertIn("停止できません", done.stdout, self.said)

    def test_torn_history_line_is_passed_over(self):
        self.store("1", self.row_values(2))
        self.assertEqual(self.run_program("--run", when="2026-12-09 02:00:00").returncode, 0, self.said)
        with open(self.history(), "ab") as f:  # a run killed while it wrote
            f.write(b'{"committed":true,"data":{"mib":"00')
        done = self.run_program("--status", when="2026-12-09 03:00:00")
        self.assertEqual(done.returncode, 0, self.said)
        # The next run's record starts on a line of its own.
        self.store("1", {**self.row_values(2), **self.row_values(3)})
        self.assertEqual(self.run_program("--run", when="2026-12-10 02:00:00").returncode, 0, self.said)
        done = self.run_program("--status", when="2026-12-10 03:00:00")
        self.assertEqual(done.returncode, 0, self.said)
        self.assertEqual([line for line in done.stdout.splitlines() if line in ("水", "木")], ["水", "木"], self.said)
        done = self.run_program("--verify")
        self.assertEqual((done.returncode, done.stdout.count("照合済み")), (0, 4), self.said)

    def test_metrics_file_is_replaced_whole(self):
        self.store("1", self.row_values(2))
        folder = os.path.join(self.home, "metrics")
        os.makedirs(folder)
        prom = os.path.join(folder, "zorvatdbbackup.prom")
        self.assertEqual(self.run_program("--run", "--metrics", prom, when="2026-12-09 02:00:00").returncode, 0,
                         self.said)
        with open(prom) as old:  # a reader of the first file keeps it whole
            with open(os.path.join(self.bin, "exit-stop"), "w") as f:
                f.write("5")
            done = self.run_program("--run", "--metrics", prom, when="2026-12-09 03:00:00")
            self.assertEqual(done.returncode, 1, self.said)
            first = dict(line.rsplit(" ", 1) for line in old.read().splitlines() if not line.startswith("#"))
        with open(prom) as f:
            second = dict(line.rsplit(" ", 1) for line in f.read().splitlines() if not line.startswith("#"))
        name = 'zorvatdbbackup_%s{settings="1"}'
        self.assertEqual(first[name % "last_run_success"], "1", first)
        self.assertEqual(second[name % "last_run_success"], "0", second)
        self.assertEqual(second[name % "last_success_timestamp_seconds"],
                         first[name % "last_success_timestamp_seconds"])
        self.assertGreater(float(second[name % "last_run_timestamp_seconds"]),
                           float(first[name % "last_success_timestamp_seconds"]) + 3000)
        self.assertEqual(int(first[name % "last_success_bytes"]), 1024 * 1024 + 7 + 4096 + 1)
        self.assertEqual(os.listdir(folder), ["zorvatdbbackup.prom"])

    @unittest.skipUnless(os.geteuid() == 0, "a mount namespace needs root")
    def test_journal_gets_the_outcome_as_fields(self):
        self.store("1", self.row_values(2))
        run = os.path.join(self.home, "run")  # the program's /run, in a mount namespace of its own
        os.makedirs(os.path.join(run, "systemd", "journal"))
        journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        journal.bind(os.path.join(run, "systemd", "journal", "socket"))
        journal.settimeout(0)
        self.addCleanup(journal.close)
        libc = ctypes.CDLL(None, use_errno=True)

        def own_run():
            if (libc.unshare(0x20000) or libc.mount(None, b"/", None, 0x44000, None)
                    or libc.mount(run.encode(), b"/run", None, 0x1000, None)):
                os._exit(77)
        with open(os.path.join(self.home, "out"), "w+") as out:
            st = os.fstat(out.fileno())
            done = self.run_program("--run", when="2026-12-09 02:00:00", stdout=out, stderr=subprocess.STDOUT,
                                    preexec_fn=own_run, env={"JOURNAL_STREAM": f"{st.st_dev}:{st.st_ino}"})
            out.seek(0)
            self.said = printed = out.read()
        if done.returncode == 77:
            self.skipTest("no mount namespace")
        self.assertEqual(done.returncode, 0, printed)
        fields = dict(line.split("=", 1) for line in journal.recv(65536).decode().splitlines())
        self.assertEqual((fields["MESSAGE"], fields["ZDB_OUTCOME"], fields["ZDB_ROW"]),
                         ("正常に処理終了しました", "success", "2"), fields)
        self.assertGreaterEqual(int(fields["ZDB_DOWNTIME_MS"]), 0, fields)
        self.assertNotIn("正常に処理終了しました", printed)  # once, with its fields

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is missing")
    def test_units_verify(self):
        # The units as installed, with the program where this build has it.
        folder = os.path.join(self.home, "units")
        os.makedirs(folder)
        names = [f"zorvatdbbackup-{what}.{kind}" for what in ("nightly", "verify") for kind in ("service", "timer")]
        for name in names:
            with open(os.path.join(UNITS, name), encoding="utf-8") as f:
                text = f.read().replace("/usr/bin/zorvatdbbackup", PROGRAM)
            with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
                f.write(text)
        done = subprocess.run(["systemd-analyze", "verify", "--man=no", *(os.path.join(folder, n) for n in names)],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertNotIn("zorvatdbbackup", done.stderr, done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
