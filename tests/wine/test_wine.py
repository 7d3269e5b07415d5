"""The real zorvatdbbackup.exe under Wine against a Windows service of the
tests' own (zdbtestservice.exe), which holds its two files with no sharing and
appends to both while it runs: --run, --guard, --status, --verify."""
import hashlib
import os
import pathlib
import shutil
import subprocess
import time
import unittest

PROGRAM = os.environ["ZDB_PROGRAM"]
SERVICE_EXE = os.environ["ZDB_SERVICE"]
WINE = os.environ["ZDB_WINE"]
WORK = pathlib.Path(os.environ["WINEPREFIX"]).parent / "wine-work"
NAME = "ZdbTestDB"  # and a suffix: a service of its own for each case, all ended with the prefix
SECTION = r"HKEY_CURRENT_USER\Software\VB and VBA Program Settings\QXN\ZorvatDBバックアップ1"
PREVIOUS = (b"previous data copy\n", b"previous log copy\n")


def wine(*args, timeout=180):
    return subprocess.run([WINE, *args], capture_output=True, timeout=timeout, encoding="utf-8", errors="replace")


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


def service(*args):
    return wine(SERVICE_EXE, *args)


def state(name):
    return service("state", name).stdout.strip()


def said(r):
    return f"exit {r.returncode}\n--- stdout\n{r.stdout}\n--- stderr\n{r.stderr}"


class Case:
    """A service in `mode` over fresh files, and a previous pair at the targets."""

    def __init__(self, name, mode, data_bytes=0, typed=""):
        self.dir, self.name = WORK / name, NAME + name.title().replace("-", "")
        shutil.rmtree(self.dir, ignore_errors=True)
        (self.dir / "db").mkdir(parents=True)
        (self.dir / "backup").mkdir()
        self.sources = (self.dir / "db" / "売上.mdf", self.dir / "db" / "売上_log.ldf")
        self.targets = (self.dir / "backup" / "売上.mdf", self.dir / "backup" / "売上_log.ldf")
        self.sources[0].write_bytes(os.urandom(data_bytes))
        for target, previous in zip(self.targets, PREVIOUS):
            target.write_bytes(previous)
        values = {"DBサーバー名": typed or self.name, "DBデータパス": winpath(self.sources[0]), "DBログパス": winpath(self.sources[1])}
        for row in range(8):
            values[f"DBデータパス1{row}"] = winpath(self.targets[0])
            values[f"DBログパス1{row}"] = winpath(self.targets[1])
        lines = ["Windows Registry Editor Version 5.00", "", f"[{SECTION}]"]
        lines += ['"%s"="%s"' % (k, v.replace("\\", "\\\\")) for k, v in values.items()]
        reg = self.dir / "settings.reg"
        reg.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))
        assert wine("regedit", "/S", winpath(reg)).returncode == 0
        r = service("install", self.name, mode, winpath(self.sources[0]), winpath(self.sources[1]))
        assert r.returncode == 0, said(r)

    def run(self, *args):
        return wine(PROGRAM, *args)

    def state(self):
        return state(self.name)

    def pair(self):
        return tuple(t.read_bytes() for t in self.targets)

    def check_copies_at_stop(self, test):
        """Each copy is its source as it stood at a stop: a prefix of it that
        ends with the line the service writes last before it stops."""
        for copy, source in zip(self.targets, self.sources):
            got, now = copy.read_bytes(), source.read_bytes()
            at_stop = now[: len(got)]
            print(f"{copy.name}: {len(got)} bytes, sha256 {hashlib.sha256(got).hexdigest()[:16]};"
                  f" source at the stop sha256 {hashlib.sha256(at_stop).hexdigest()[:16]}; source now {len(now)} bytes")
            test.assertEqual(got, at_stop, copy)
            test.assertTrue(got.endswith(b"\n") and got.rsplit(b"\n", 2)[-2].startswith(b"stopped "), copy)


class WineBackupTest(unittest.TestCase):
    def test_runs(self):
        # name, mode, service as typed, exit status, text shown, state after, whether the new pair stands
        rows = [
            ("normal", "normal", "", 0, "正常に処理終了しました", "running", True),
            ("slow stop", "slowstop", "zdbtestdbslowstop DISPLAY", 0, "正常に処理終了しました", "running", True),
            ("refused stop", "refusestop", "", 1, "ＤＢサービスを、停止できません", "running", False),
            ("failed start", "failstart", "ZDBTESTDBFAILEDSTART", 1, "ＤＢサービスを、開始できません", "stopped", True),
            ("no such service", "normal", "NoSuchDB", 1, "ＤＢサービスを、停止できません", "running", False),
        ]
        for name, mode, typed, status, text, after, committed in rows:
            with self.subTest(name):
                case = Case(name.replace(" ", "-"), mode, typed=typed)
                if mode == "failstart":
                    pathlib.Path(str(case.sources[0]) + ".nostart").touch()
                started = time.monotonic()
                r = case.run("--run")
                print(f"[{name}] --run took {time.monotonic() - started:.1f} s\n{r.stdout}")
                self.assertEqual(r.returncode, status, said(r))
                self.assertIn(text, r.stdout, said(r))
                self.assertEqual(case.state(), after, said(r))
                if committed:
                    case.check_copies_at_stop(self)
                else:
                    self.assertEqual(case.pair(), PREVIOUS)
                if mode == "failstart":
                    # The mark the run left says the service is down: --guard starts it.
                    os.remove(str(case.sources[0]) + ".nostart")
                    g = case.run("--guard")
                    self.assertEqual(g.returncode, 0, said(g))
                    self.assertEqual(case.state(), "running", said(g))
                if name == "normal":
                    for command, verdict in (("--status", "正常 (verified)"), ("--verify", "すべて一致しました。")):
                        c = case.run(command)
                        print(f"[{name}] {command}\n{c.stdout}")
                        self.assertEqual(c.returncode, 0, said(c))
                        self.assertIn(verdict, c.stdout, said(c))

    def test_killed_while_down_then_guard(self):
        case = Case("killed", "normal", data_bytes=256 << 20)
        run = subprocess.Popen([WINE, PROGRAM, "--run"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        killer = service("killrun", case.name)
        out = run.communicate(timeout=300)[0].decode("utf-8", "replace")
        self.assertEqual(killer.returncode, 0, said(killer) + out)
        print(f"[killed] --run\n{out}")
        self.assertNotIn("SQLServer開始処理中です", out)
        self.assertEqual(case.state(), "stopped", out)
        self.assertEqual(case.pair(), PREVIOUS)
        g = case.run("--guard")
        print(f"[killed] --guard\n{g.stdout}")
        self.assertEqual(g.returncode, 0, said(g))
        self.assertEqual(case.state(), "running", said(g))

    def test_second_run_refused_by_lock(self):
        case = Case("locked", "slowstop")
        first = subprocess.Popen([WINE, PROGRAM, "--run"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while case.state() != "pending" and time.monotonic() < deadline:
            time.sleep(0.1)
        second = case.run("--run")
        out = first.communicate(timeout=300)[0].decode("utf-8", "replace")
        self.assertEqual(second.returncode, 1, said(second))
        self.assertIn("他のバックアップ処理が実行中です。", second.stdout, said(second))
        self.assertEqual(first.returncode, 0, out)
        case.check_copies_at_stop(self)


if __name__ == "__main__":
    unittest.main(verbosity=2)
