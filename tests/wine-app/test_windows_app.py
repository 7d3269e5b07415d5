"""The installed Windows program under Wine: installer, tasks, window, console twin."""
import glob
import json
import os
import re
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from test_wine import SECTION, Case, said  # noqa: E402  the engine's Wine harness

C = os.path.join(os.environ["WINEPREFIX"], "drive_c")
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PRODUCT = "ZorvatDBバックアップ"
INSTALLED = os.path.join(C, "Program Files", PRODUCT)
TASK = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"


def wine(*args, env=None):
    return subprocess.run(["wine", *args], cwd=INSTALLED if os.path.isdir(INSTALLED) else C, capture_output=True,
                          timeout=300, env=dict(os.environ, **(env or {})), encoding="utf-8", errors="replace")


def wait_for(predicate, what, timeout=60):
    end = time.monotonic() + timeout
    while not (value := predicate()):
        assert time.monotonic() < end, f"timed out waiting for {what}"
        time.sleep(0.2)
    return value


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.split()


def read(*path):  # in the prefix's C:, or an absolute path
    with open(os.path.join(C, *path), "rb") as f:
        return f.read()


def events(trace):  # (type, id, text) of each event, from the +eventlog trace of Wine's ReportEventW
    found = re.findall(r"ReportEventW \([^,]*,0x(\w+),0x\w+,0x(\w+),.*\n.*eventlog:ReportEventW L\"(.*)\"", trace)
    text = lambda s: re.sub(r"\\([0-9a-f]{4})", lambda m: chr(int(m.group(1), 16)), s).replace("\\n", "\n")
    return [(int(t, 16), int(i, 16), text(s)) for t, i, s in found]


class InstalledProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        r = wine(os.environ["ZDB_SETUP"], "/S")
        assert r.returncode == 0 and os.path.isfile(os.path.join(INSTALLED, "zorvatdbbackup.com")), said(r)

    def test_tasks_are_what_the_readme_says(self):
        readme = read(REPO, "README.md").decode()
        tasks = re.findall(r"^\| (\S+) \| `zorvatdbbackup\.exe (--\w+)` \| (.*) \|$", readme, re.M)
        enabled = re.findall(r'schtasks /Change /TN "ZorvatDBバックアップ\\([^"]+)" /ENABLE', readme)
        self.assertEqual(sorted(t[:2] for t in tasks), sorted(zip(enabled, ("--run", "--guard"))))
        for name, argument, when in tasks:
            # Registered; Wine's Task Scheduler keeps a task's settings, not its triggers or actions.
            registered = read("windows", "system32", "tasks", PRODUCT, name).decode("utf-8-sig")
            self.assertIn("<Enabled>false</Enabled>", registered, name)
            task = ET.parse(os.path.join(INSTALLED, "tasks", "nightly.xml" if argument == "--run" else "guard.xml"))
            get = lambda path: task.findtext("/".join(TASK + p for p in path.split("/")))
            self.assertEqual([get(p) for p in ("Actions/Exec/Command", "Actions/Exec/Arguments", "Settings/Enabled",
                                               "Settings/StartWhenAvailable", "Principals/Principal/RunLevel")],
                             [rf'"C:\Program Files\{PRODUCT}\zorvatdbbackup.exe"', argument, "false", "true",
                              "HighestAvailable"])
            # Daily at 02:00 as the README says, or at boot.
            start = get("Triggers/CalendarTrigger/StartBoundary")
            self.assertEqual(start[-8:-3] if start else get("Triggers/BootTrigger"), "02:00" if "02:00" in when else "")

    def test_window_from_the_program_folder_loads_stores_and_backs_up(self):
        wine("reg", "delete", SECTION, "/f")  # fields empty as on the Linux screenshot
        with open(os.path.join(os.environ["ZDB_E2E_ARTIFACTS"], "windows-app.log"), "wb") as log:
            app = subprocess.Popen(["wine", "zorvatdbbackup.exe"], cwd=INSTALLED, stdout=log, stderr=log)
        self.addCleanup(lambda: app.kill() or app.wait())
        [window] = wait_for(lambda: xdotool("search", "--onlyvisible", "--name", "SCR520"), "the window")
        self.assertEqual(subprocess.run(["xdotool", "getwindowname", window], capture_output=True, text=True).stdout,
                         f"{PRODUCT} -  <{PRODUCT}:SCR520>" + " " * 40 + "\n")
        shot = os.path.join(os.environ["ZDB_E2E_ARTIFACTS"], "screenshot-windows.png")
        # The design's colours where Linux shows them (title, frames, fields, the
        # message label, the focus mark on 開始), once the first paint is done.
        linux = Image.open(os.path.join(REPO, "docs", "screenshot.png")).convert("RGB")
        points = ((100, 8), (300, 140), (520, 150), (200, 210), (15, 300), (200, 264), (62, 500), (575, 492))
        colours = lambda image: [image.getpixel(p) for p in points]
        wait_for(lambda: subprocess.run(["import", "-window", window, shot]).returncode == 0
                 and colours(Image.open(shot).convert("RGB")) == colours(linux), "the colours of the Linux window", 30)
        click = lambda x, y, on=window: xdotool("mousemove", "--window", on, str(x), str(y), "click", "1")

        def answer():  # the default button: Wine gives the keys to the window clicked last
            [box] = wait_for(lambda: xdotool("search", "--onlyvisible", "--name", "Zorvat総合販売管理システム"), "a box")
            click(5, 5, box)
            xdotool("key", "Return")
            wait_for(lambda: box not in xdotool("search", "--onlyvisible", "--name", "Zorvat"), "the box to close")

        case = Case("window", "normal")  # a service over fresh files; settings 1 point at them
        click(736, 120)  # 設定読込 of number 1
        answer()  # 設定情報を読み込みます。よろしいですか: はい
        click(600, 120)  # 設定番号: 2
        xdotool("key", "ctrl+a", "2")
        click(736, 146)  # 設定記憶
        answer()  # 入力情報を記憶します。よろしいですか: はい
        answer()  # 入力情報を記憶しました。
        wine("reg", "export", SECTION[:-1] + "2", r"C:\out.reg", "/y")
        self.assertIn(f'"DBサーバー名"="{case.name}"', read("out.reg").decode("utf-16"))

        click(613, 492)  # 開始
        answer()  # 処理します。よろしいですか？: はい
        history = os.path.join(C, "users", "*", "AppData", "Local", "zorvatdbbackup", "history.jsonl")
        records = lambda: [json.loads(r) for f in glob.glob(history) for r in read(f).splitlines()]
        [done] = wait_for(lambda: [r for r in records() if r["settings"] == "2" and not r.get("open")], "the run")
        subprocess.run(["import", "-window", window, shot.replace(".png", "-after-run.png")])
        self.assertEqual((done["final"], case.state()), ("正常に処理終了しました", "running"), done)
        case.check_copies_at_stop(self)

    def test_console_twin_prints_returns_and_writes_events(self):
        # A refused stop costs the service no downtime: the service's line comes third.
        for mode, rc, final, outcome, third, level, event in (
                ("normal", 0, "正常に処理終了しました", "正常", r"ＤＢサービスの停止時間: \d+\.\d{3} 秒", 4, 1),
                ("refusestop", 1, "異常終了しました", "異常", None, 1, 2)):
            case = Case("console-" + mode, mode)
            r = wine("cmd", "/c", "zorvatdbbackup --run", env={"WINEDEBUG": "-all,+eventlog,fixme+advapi"})
            self.assertEqual((r.returncode, r.stdout.splitlines()[-1:]), (rc, [final]), said(r))
            [(kind, id, text)] = events(r.stderr)  # EVENTLOG_INFORMATION_TYPE 4, EVENTLOG_ERROR_TYPE 1
            self.assertEqual((kind, id, text.split("\n")[:2]), (level, event, [final, "結果: " + outcome]), said(r))
            self.assertRegex(text.split("\n")[2], third or f"ＤＢサービス名: {case.name}$")
            if mode == "normal":
                case.check_copies_at_stop(self)


if __name__ == "__main__":
    unittest.main(verbosity=2)
