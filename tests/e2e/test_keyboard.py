"""Keys, the focus mark as the screen shows it, the input lock and Escape."""
import os
import unittest

from harness import ProgramCase, wait_for

GREEN = (192, 255, 192)
APP_TITLE = "Zorvat総合販売管理システム"
UNLOCK_QUESTION = [
    "ロックを解除し、設定変更が可能な状態にします。",
    "システムに詳しい方は、\u3000\u3000はい\u3000\u3000を選択して下さい",
    "そうでない場合は、\u3000\u3000\u3000\u3000いいえ\u3000を選択して下さい",
]
INPUTS = ["DBサーバー名", "DBデータパス", "DBログパス", "Path(0)", "Path2(7)", "設定番号"]
EXEMPT = ["YES", "END", "PRN", "ロックと解除", "下矢印"]


class KeyboardTest(ProgramCase):
    def colour(self, app, name):
        """The colour on screen inside a control, beside its border and text."""
        x, y, w, h = app.extents(name)
        # Fields are empty here, so their right end shows the background;
        # a button's face shows just inside its 2-pixel border.
        spot = (x + w - 6, y + h // 2) if name.startswith(("DB", "Path")) else (x + 3, y + h // 2)
        image = app.pixels(os.path.join(self.home, "shot.png"))
        return image.getpixel(spot)

    def assert_marked(self, app, name):
        wait_for(lambda: app.focused() == name, 5, f"the focus on {name}")
        wait_for(lambda: self.colour(app, name) == GREEN, 5, f"the light-green mark on {name}")

    def test_enter_and_arrows_move_the_mark(self):
        app = self.start()
        app.click("DBサーバー名")
        self.assert_marked(app, "DBサーバー名")

        app.key("Return")
        self.assert_marked(app, "DBデータパス")
        # The field that lost the mark shows the button face, like END.
        face = self.colour(app, "END")
        self.assertNotEqual(face, GREEN)
        self.assertEqual(self.colour(app, "DBサーバー名"), face)

        app.key("Up")
        self.assert_marked(app, "DBサーバー名")
        self.assertEqual(self.colour(app, "DBデータパス"), face)

        app.key("Down", "Down", "Return")
        self.assert_marked(app, "Path(0)")
        app.click("Path(7)")
        app.key("Return")
        self.assert_marked(app, "Path2(0)")

        # The last field before the frame: past the end the focus wraps to YES.
        app.click("下矢印")
        self.assert_marked(app, "下矢印")
        app.key("Return")
        self.assert_marked(app, "YES")
        self.assertEqual(self.colour(app, "下矢印"), face)
        # Up at the first position stays there.
        app.key("Up")
        self.assert_marked(app, "YES")
        self.assertFalse(app.box_open(), "Enter on a button started something")

    def test_lock_makes_inputs_read_only(self):
        app = self.start()
        app.type_into("DBサーバー名", "MSSQL1")
        app.type_into("Path(0)", "/bk/mon.MDF")
        shown = {name: app.text(name) for name in INPUTS}

        app.click("ロックと解除")
        wait_for(lambda: not app.enabled("設定記憶"), 5, "設定記憶 disabled")
        self.assertFalse(app.box_open(), "locking asked a question")
        self.assertFalse(app.enabled("設定読込"))
        for name in EXEMPT:
            self.assertTrue(app.enabled(name), name)
        self.assert_locked(app, shown)

        # A press on the disabled button does nothing: the next box is the unlock question.
        app.click("設定記憶")
        app.click("ロックと解除")
        self.assertEqual(app.answer("いいえ"), (APP_TITLE, "\n".join(UNLOCK_QUESTION)))
        self.assertFalse(app.enabled("設定記憶"))
        self.assert_locked(app, shown)

        app.click("ロックと解除")
        app.answer("はい")
        wait_for(lambda: app.enabled("設定記憶"), 5, "設定記憶 enabled")
        self.assertTrue(app.enabled("設定読込"))
        app.type_into("DBサーバー名", "XYZ")
        wait_for(lambda: app.text("DBサーバー名") == "XYZ", 5, "typing to reach the unlocked field")

    def assert_locked(self, app, shown):
        for name in INPUTS:
            app.type_into(name, "XYZ")
        app.click("Path2(7)")
        app.key("BackSpace", "Delete")
        # The focus still enters a locked field.
        self.assertEqual(app.focused(), "Path2(7)")
        self.assertEqual({name: app.text(name) for name in INPUTS}, shown)

    def test_escape_closes_the_program(self):
        app = self.start()
        app.click("DBデータパス")
        wait_for(lambda: app.focused() == "DBデータパス", 5, "the focus in a field")
        app.key("Escape")
        wait_for(lambda: not app.running(), 5, "the program to end")
        self.assertEqual(app.proc.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
