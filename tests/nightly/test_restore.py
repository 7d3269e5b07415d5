"""`--restore` against the stand-in service manager: what it refuses, puts
back and leaves to the guard."""
import glob
import os
import shutil
import pathlib
import pty
import subprocess
import sys
import unittest

from test_nightly import PROGRAM, Harness

WEDNESDAY = "2026-12-09 02:00:00"  # row 2


class RestoreTest(Harness):
    def setUp(self):
        super().setUp()
        self.store("1", self.row_values(2))
        self.assertEqual(self.run_program("--run", when=WEDNESDAY).returncode, 0, self.said)
        self.live = [os.path.join(self.src, n) for n in ("D.MDF", "L.LDF")]
        self.copies = [os.path.join(self.home, "bk2", n) for n in ("D.MDF", "L.LDF")]
        self.make_sources()  # the database has moved on since
        self.before = self.contents(self.live)
        os.remove(os.path.join(self.bin, "calls.jsonl"))

    def contents(self, paths):
        return [pathlib.Path(p).read_bytes() if os.path.exists(p) else None for p in paths]

    def test_outcomes(self):
        state = lambda *name: os.path.join(self.home, "state", "zorvatdbbackup", *name)
        history = lambda: (os.remove(state("history.jsonl")), shutil.rmtree(state("pairs")))
        rows = [  # (name, preparation, arguments after --restore, exit, text, service verbs, the live pair holds)
            ("restored", None, [" 水曜日 ", "--yes"], 0, "正常に復元しました。", ["status", "stop", "start"], "copies"),
            ("no such row", None, ["someday", "--yes"], 2, "someday", [], "before"),
            ("no one to ask", None, ["wed"], 2, "--yes を付けて下さい", [], "before"),
            ("copy missing", lambda: os.remove(self.copies[1]), ["wed", "--yes"], 1, "見つかりません", [], "before"),
            ("no history", history, ["wed", "--yes"], 1, "履歴に記録がありません", [], "before"),
            ("no history, unverified", history, ["wed", "--yes", "--unverified"], 0, "照合していません",
             ["status", "stop", "start"], "copies"),
            ("live log missing", lambda: os.remove(self.live[1]), ["wed", "--yes"], 0, "L.LDF はありませんでした",
             ["status", "stop", "start"], "copies"),
            ("stop fails, service runs", lambda: self.tell("exit", "stop", 5), ["wed", "--yes"], 1, "停止できません",
             ["status", "stop", "status"], "before"),
            ("start fails: the live pair goes back", lambda: self.tell("exit", "start", 1), ["wed", "--yes"], 1,
             "元のファイルに戻しました。", ["status", "stop", "start", "stop", "start"], "before"),
            ("into a folder", None, ["wed", "--yes", "--to", os.path.join(self.home, "trial")], 0,
             "復元しました: " + os.path.join(self.home, "trial", "D.MDF"), [], "before"),
        ]
        for name, prepare, args, status, text, verbs, holds in rows:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                if prepare:
                    prepare()
                before = self.contents(self.live)
                done = self.run_program("--restore", *args)
                self.assertEqual(done.returncode, status, self.said)
                self.assertIn(text, done.stdout + done.stderr, self.said)
                self.assertEqual(self.verbs(), verbs, self.said)
                self.assertEqual(self.contents(self.live),
                                 self.contents(self.copies) if holds == "copies" else before, self.said)
                # The replaced pair stays where the output says; nothing staged is left.
                for live, aside in [l.split(": ")[1].split(" → ") for l in done.stdout.splitlines()
                                    if l.startswith("置き換えたファイル: /")]:
                    self.assertEqual(self.contents([aside]), [before[self.live.index(live)]], self.said)
                self.assertEqual(glob.glob(os.path.join(self.src, ".*zdbrestore*")), [], self.said)
                # A service that was running and cannot start again is left to the guard.
                self.assertEqual(os.path.exists(self.mark(self.row_values(2)["DBサーバー名"])),
                                 name.startswith("start fails"), self.said)

    def test_asked_on_a_terminal(self):
        for answer, status, verbs in (("いいえ", 1, []), ("y", 0, ["status", "stop", "start"])):
            with self.subTest(answer):
                main, side = pty.openpty()
                run = subprocess.Popen([PROGRAM, "--restore", "wed"], env=self.program_env(None), stdin=side,
                                       stdout=side, stderr=side)
                os.close(side)
                os.write(main, answer.encode() + b"\n")
                said = b""
                try:
                    while chunk := os.read(main, 4096):
                        said += chunk
                except OSError:  # the program has closed the terminal
                    pass
                self.assertEqual(run.wait(60), status, said.decode())
                self.assertIn("退避した日時: 2026-12-09 02:00", said.decode(), said.decode())
                self.assertEqual(self.verbs(), verbs, said.decode())


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
