"""End-to-end tests of the real program as an operator meets it."""
import os
import unittest

from harness import ProgramCase, wait_for

ROWS = ["月曜日", "火曜日", "水曜日", "木曜日", "金曜日", "土曜日", "日曜日", "その他"]


class ProgramTest(ProgramCase):
    def test_opens_with_title_and_weekday_row(self):
        # 2026-12-06 is a Sunday, 2026-12-09 a Wednesday.
        for when, row in (("2026-12-06 08:00:00", 6), ("2026-12-09 23:30:00", 2)):
            with self.subTest(when=when):
                app = self.start(faketime=when)
                self.assertEqual(app.title(), "ZorvatDBバックアップ -  <ZorvatDBバックアップ:SCR520>" + " " * 40)
                for i in range(8):
                    self.assertEqual(app.checked(f"DNO({i})"), i == row, ROWS[i])
                self.assertEqual(app.caption("LblOS"), "Windows 2000 & Xp")
                self.assertEqual(app.text("設定番号"), "1")
                app.close()

    def test_store_under_three_and_load_after_restart(self):
        app = self.start()
        # A first start finds nothing stored.
        self.assertEqual(app.text("DBサーバー名"), "")
        app.type_into("設定番号", "3")
        app.type_into("DBサーバー名", "  MSSQL$ZORVAT ")
        app.type_into("Path(2)", "/backup/水曜日/データ.MDF")
        app.click("設定記憶")
        self.assertEqual(app.answer("はい"), ("Zorvat総合販売管理システム", "入力情報を記憶します。よろしいですか"))
        self.assertEqual(app.answer("OK")[1], "入力情報を記憶しました。")
        self.assertEqual(app.text("DBサーバー名"), "MSSQL$ZORVAT")
        app.close()

        app = self.start()
        self.assertEqual(app.text("DBサーバー名"), "")
        app.type_into("設定番号", "3")
        app.click("設定読込")
        self.assertEqual(app.answer("はい")[1], "設定情報を読み込みます。よろしいですか")
        wait_for(lambda: app.text("DBサーバー名") == "MSSQL$ZORVAT", 5, "the loaded service name")
        self.assertEqual(app.text("Path(2)"), "/backup/水曜日/データ.MDF")

    def test_refused_store_keeps_fields(self):
        app = self.start()
        app.type_into("DBサーバー名", "typed")
        app.click("設定記憶")
        app.answer("いいえ")
        self.assertEqual(app.answer("OK")[1], "入力情報は記憶されませんでした。")
        self.assertFalse(os.path.exists(os.path.join(self.home, ".config", "QXN", "QXN.ini")))

    def test_end_closes_the_program(self):
        app = self.start()
        app.click("END")
        wait_for(lambda: not app.running(), 5, "the program to end")
        self.assertEqual(app.proc.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
