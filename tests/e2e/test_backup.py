"""The backup run as an operator starts it: real message boxes, stand-in service manager."""
import json
import os
import time
import unittest

from harness import ProgramCase, ServiceStub, wait_for

APP_TITLE = "Zorvat総合販売管理システム"
CONFIRM = "処理します。よろしいですか？"
STOP_FAILURE = [
    "エラーです。ＤＢサービスを、停止できません。",
    "ＤＢサービス名が正しいか、確認して下さい。",
    "",
    "DBサービス名は、ｺﾝﾄﾛｰﾙﾊﾟﾈﾙの管理ﾂｰﾙのｻｰﾋﾞｽで、表示される名前です",
    "",
    "通常DBサービス名は、MSDE2000       の場合は、MSSQL$ｲﾝｽﾀﾝｽ名      ",
    "                    MSSQL2000SERVERの場合は、MSSQLServer    です",
]
# One run per service name on the whole machine: a name of this run's own, so
# that test runs side by side never hold each other's lock.
SERVICE = f"MSSQL$売上{os.getpid()}"
# The restart waits 0.00004 day after the start command has ended.
RESTART_WAIT = 0.00004 * 86400


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class BackupRunTest(ProgramCase):
    def setUp(self):
        super().setUp()
        self.stub = ServiceStub(os.path.join(self.home, "bin"))
        self.work = os.path.join(self.home, "w")
        self.data_source = os.path.join(self.work, "売上DB", "売上.MDF")
        self.log_source = os.path.join(self.work, "売上DB", "売上_LOG.LDF")
        # Not a multiple of any block size, and different files.
        write(self.data_source, os.urandom(3 * 1024 * 1024 + 17))
        write(self.log_source, os.urandom(512 * 1024 + 5))

    def prepare(self, app, row, data_target, log_target):
        """Types the service name, the sources and row's targets; selects row."""
        app.type_into("DBサーバー名", "  " + SERVICE + " ")
        app.type_into("DBデータパス", self.data_source)
        app.type_into("DBログパス", self.log_source)
        app.type_into(f"Path({row})", data_target)
        app.type_into(f"Path2({row})", log_target)
        app.click(f"DNO({row})")
        wait_for(lambda: app.checked(f"DNO({row})"), 5, f"row {row} selected")

    def start_run(self, app):
        app.click("YES")
        self.assertEqual(app.answer("はい"), (APP_TITLE, CONFIRM))

    def test_full_backup_of_japanese_named_files(self):
        app = self.start(extra_path=self.stub.folder)
        today = next(i for i in range(8) if app.checked(f"DNO({i})"))
        row = (today + 3) % 7
        # The weekday row holds targets too: they must stay unwritten.
        decoy_data = os.path.join(self.work, "曜日", "データ.MDF")
        decoy_log = os.path.join(self.work, "曜日", "ログ.LDF")
        app.type_into(f"Path({today})", decoy_data)
        app.type_into(f"Path2({today})", decoy_log)
        target_root = os.path.join(self.work, "退避先")
        data_target = os.path.join(target_root, "データ", "売上.MDF")
        log_target = os.path.join(target_root, "ログ", "売上_LOG.LDF")
        self.prepare(app, row, data_target, log_target)
        self.assertFalse(os.path.exists(target_root))
        self.stub.watch([[self.data_source, data_target], [self.log_source, log_target]])

        self.start_run(app)
        # The restart wait keeps the window answering; closing now must not
        # leave the service stopped.
        wait_for(lambda: len(self.stub.calls()) >= 2, 15, "the start command")
        self.assertEqual(app.text("MSG1"), "SQLServer開始処理中です... ")
        app.key("Escape")
        wait_for(lambda: not app.running() or app.text("MSG1") == "正常に処理終了しました", 15, "the run to end")
        ended = time.time()
        self.assertTrue(app.running(), "Escape during the run closed the program")

        calls = self.stub.calls()
        self.assertEqual([c["argv"] for c in calls],
                         [ServiceStub.expected("stop", SERVICE), ServiceStub.expected("start", SERVICE)])
        # Stopped with both copies made beside their targets while the
        # database ran (on this file system nothing is cloned), the targets
        # untouched; started once both were brought up to the sources; they
        # replace the targets only when verified.
        self.assertEqual(calls[0]["copied"], [False, False])
        self.assertEqual(calls[0]["staged"], [True, True])
        self.assertEqual(calls[1]["staged"], [True, True])
        self.assertEqual(calls[1]["copied"], [False, False])
        self.assertGreaterEqual(ended - calls[1]["time"], RESTART_WAIT - 0.05)
        self.assertEqual(read(data_target), read(self.data_source))
        self.assertEqual(read(log_target), read(self.log_source))
        self.assertEqual(os.stat(data_target).st_mtime_ns, os.stat(self.data_source).st_mtime_ns)
        self.assertEqual(sorted(os.listdir(os.path.dirname(data_target))), ["売上.MDF"])
        self.assertEqual(sorted(os.listdir(os.path.dirname(log_target))), ["売上_LOG.LDF"])
        self.assertFalse(os.path.exists(os.path.dirname(decoy_data)))
        wait_for(lambda: app.focused() == "END", 5, "the focus on END")
        self.assertFalse(app.box_open())
        # The window's run is in the history under its settings number and row.
        history = os.path.join(self.home, ".local", "state", "zorvatdbbackup", "history.jsonl")
        wait_for(lambda: os.path.exists(history) and read(history).count(b"\n") == 2, 10, "the run's history")
        records = [json.loads(line) for line in read(history).splitlines()]
        self.assertTrue(records.pop(0)["open"])  # stands for the run until its own record comes
        self.assertEqual([(r["settings"], r["row"], r["ok"], r["committed"], r["dataTarget"], r["data"]["size"])
                          for r in records], [("1", row, True, True, data_target, os.path.getsize(self.data_source))])
        self.assertTrue(app.running(), "Escape during the run closed the program afterwards")

        # The program ends now that the service runs again.
        app.click("END")
        wait_for(lambda: not app.running(), 5, "the program to end")
        self.assertEqual(app.proc.returncode, 0)

    def test_failed_stop_leaves_previous_copies(self):
        self.stub.exit_status("stop", 2)
        row = 7
        data_target = os.path.join(self.work, "退避先", "その他", "売上.MDF")
        log_target = os.path.join(self.work, "退避先", "その他", "売上_LOG.LDF")
        write(data_target, b"previous data copy")
        write(log_target, b"previous log copy")
        before = {p: os.stat(p).st_mtime_ns for p in (data_target, log_target)}
        app = self.start(extra_path=self.stub.folder)
        self.prepare(app, row, data_target, log_target)

        self.start_run(app)
        title, text = app.answer("OK")
        self.assertEqual(title, APP_TITLE)
        self.assertEqual(text.split("\n"), STOP_FAILURE)
        wait_for(lambda: app.text("MSG1") == "異常終了しました", 5, "the abnormal end")

        # The service still runs, as its manager says: it never stopped.
        self.assertEqual([c["argv"] for c in self.stub.calls()],
                         [ServiceStub.expected("stop", SERVICE), ServiceStub.expected("status", SERVICE)])
        self.assertEqual(read(data_target), b"previous data copy")
        self.assertEqual(read(log_target), b"previous log copy")
        self.assertEqual({p: os.stat(p).st_mtime_ns for p in before}, before)
        self.assertEqual(sorted(os.listdir(os.path.dirname(data_target))), ["売上.MDF", "売上_LOG.LDF"])
        self.assertFalse(app.box_open())

    def test_answer_no_runs_nothing(self):
        app = self.start(extra_path=self.stub.folder)
        app.type_into("DBサーバー名", SERVICE)
        app.click("YES")
        self.assertEqual(app.answer("いいえ"), (APP_TITLE, CONFIRM))
        # The program is idle again: a store question shows it took the click.
        app.click("設定記憶")
        self.assertEqual(app.answer("いいえ")[1], "入力情報を記憶します。よろしいですか")
        app.answer("OK")
        self.assertEqual(self.stub.calls(), [])
        self.assertEqual(app.text("MSG1"), "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
