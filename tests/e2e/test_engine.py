"""The run outlives the window: boxes, kills, signals and hung commands never
leave the database stopped."""
import os
import signal
import time
import unittest

from harness import ProgramCase, ServiceStub, engines, wait_for
from test_backup import APP_TITLE, SERVICE, read, write

FAILED = "異常終了しました"
DONE = "正常に処理終了しました"
LEFT_DOWN = ("前回のバックアップ処理が中断されました。ＤＢサービス（" + SERVICE
             + "）が、停止したままの可能性があります。\nＤＢサービスを開始しますか？")


class EngineTest(ProgramCase):
    def setUp(self):
        super().setUp()
        self.stub = ServiceStub(os.path.join(self.home, "bin"))
        work = os.path.join(self.home, "w")
        self.data_source = os.path.join(work, "db", "売上.MDF")
        self.log_source = os.path.join(work, "db", "売上_LOG.LDF")
        self.data_target = os.path.join(work, "bk", "売上.MDF")
        self.log_target = os.path.join(work, "bk", "売上_LOG.LDF")
        write(self.data_source, os.urandom(2 * 1024 * 1024 + 3))
        write(self.log_source, os.urandom(300 * 1024))
        write(self.data_target, b"previous data")
        write(self.log_target, b"previous log")

    def begin(self, **kw):
        app = self.start(extra_path=self.stub.folder, **kw)
        app.type_into("DBサーバー名", SERVICE)
        app.type_into("DBデータパス", self.data_source)
        app.type_into("DBログパス", self.log_source)
        app.type_into("Path(7)", self.data_target)
        app.type_into("Path2(7)", self.log_target)
        app.click("DNO(7)")
        wait_for(lambda: app.checked("DNO(7)"), 5, "row 7 selected")
        app.click("YES")
        self.assertEqual(app.answer("はい")[1], "処理します。よろしいですか？")
        return app

    def verbs(self):
        return [c["argv"][1] if c["argv"][0] == "systemctl" else c["argv"][2] for c in self.stub.calls()]

    def test_box_opened_during_slow_stop_does_not_delay_start(self):
        self.stub.sleep("stop", 2)
        app = self.begin()
        wait_for(lambda: self.verbs() == ["stop"], 10, "the stop command")
        app.click("設定読込")
        self.assertEqual(app.message_box()[1], "設定情報を読み込みます。よろしいですか")
        # The box stays open; the engine goes on without it.
        wait_for(lambda: self.verbs() == ["stop", "start"], 20, "the start command with the box open")
        wait_for(lambda: read(self.data_target) == read(self.data_source), 20, "the copy in place")
        self.assertTrue(app.box_open())
        app.answer("いいえ")
        wait_for(lambda: app.text("MSG1") == DONE, 10, "the run's end on screen")

    def test_window_killed_mid_run(self):
        self.stub.sleep("stop", 2)
        app = self.begin()
        wait_for(lambda: self.verbs() == ["stop"], 10, "the stop command")
        app.proc.kill()
        app.proc.wait()
        wait_for(lambda: self.verbs() == ["stop", "start"], 20, "the start command after the window died")
        wait_for(lambda: not engines(), 20, "the engine to finish alone")
        outcome = os.path.join(self.home, ".local", "state", "zorvatdbbackup", "last-outcome.json")
        with open(outcome, encoding="utf-8") as f:
            said = f.read()
        self.assertEqual(read(self.data_target), read(self.data_source), said)
        self.assertEqual(read(self.log_target), read(self.log_source))
        # The next start tells what the run did after its window had gone.
        again = self.start(extra_path=self.stub.folder)
        self.assertEqual(again.answer("OK")[1], "前回のバックアップ処理は、画面が閉じた後に終了しました。\n" + DONE)
        self.assertEqual(again.text("MSG1"), DONE)
        self.assertFalse(again.box_open())

    def test_sigterm_mid_run_starts_the_service(self):
        self.stub.sleep("stop", 2)
        app = self.begin()
        wait_for(lambda: self.verbs() == ["stop"], 10, "the stop command")
        for pid in engines():
            os.kill(pid, signal.SIGTERM)
        wait_for(lambda: app.text("MSG1") == FAILED, 20, "the abandoned run's end")
        self.assertEqual(self.verbs(), ["stop", "start"])
        self.assertEqual(read(self.data_target), b"previous data")
        self.assertEqual(read(self.log_target), b"previous log")
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.data_target))), ["売上.MDF", "売上_LOG.LDF"])

    def test_hung_commands_are_ended(self):
        for verb, text, expected in (
                ("stop", "エラーです。ＤＢサービスの停止が、終わりません。", ["stop", "start"]),
                ("start", "エラーです。ＤＢサービスの開始が、終わりません。", ["stop", "start"])):
            with self.subTest(verb=verb):
                for name in os.listdir(self.stub.folder):
                    if name.startswith("sleep-") or name == "calls.jsonl":
                        os.remove(os.path.join(self.stub.folder, name))
                self.stub.sleep(verb, 120)
                app = self.begin(extra_env={"ZDB_COMMAND_TIMEOUT": "2"})
                title, said = app.answer("OK")
                self.assertEqual((title, said), (APP_TITLE, text + "\nＤＢサービスの状態を、確認して下さい。"))
                self.assertEqual(self.verbs(), expected)
                wait_for(lambda: app.text("MSG1") == FAILED, 10, "the abnormal end")
                app.close()

    def test_killed_engine_then_next_start_offers_the_service(self):
        self.stub.sleep("stop", 3)
        app = self.begin()
        wait_for(lambda: self.verbs() == ["stop"], 10, "the stop command")
        app.proc.kill()
        app.proc.wait()
        for pid in engines():
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not engines(), 10, "the engine gone")
        again = self.start(extra_path=self.stub.folder)
        self.assertEqual(again.answer("はい"), (APP_TITLE, LEFT_DOWN))
        wait_for(lambda: self.verbs() == ["stop", "start"], 10, "the start command")
        self.assertFalse(again.box_open())
        self.assertEqual(read(self.data_target), b"previous data")
        # Asked once: the mark is gone.
        again.close()
        third = self.start(extra_path=self.stub.folder)
        time.sleep(1)
        self.assertFalse(third.box_open())


if __name__ == "__main__":
    unittest.main(verbosity=2)
