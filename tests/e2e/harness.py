"""Drives the real program in a real X server: xdotool for keys and clicks,
AT-SPI for reading what the window shows."""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import pyatspi
from PIL import Image

PROGRAM = os.environ["ZDB_PROGRAM"]
FAKETIME_LIBRARY = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + ["libfaketime.so.1"])[0]


def wait_for(predicate, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


def engines():
    """Process ids of this program's engines now running."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if len(argv) >= 2 and argv[1] == b"--engine" and os.path.realpath(argv[0]) == os.path.realpath(os.fsencode(PROGRAM)):
            found.append(int(pid))
    return found


def walk(acc):
    yield acc
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True)


def on_screen(title):
    """Whether a window whose title matches this pattern is mapped. The accessibility
    bus knows a window from the moment it is shown, before the window manager
    has put it on the screen; a click before then falls on the desktop."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


class App:
    """One run of the program, with its own settings folder and PATH."""

    def __init__(self, home, faketime=None, extra_path=None, extra_env=None):
        env = dict(os.environ)
        env.update(extra_env or {})
        env["HOME"] = home
        env["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env["QT_ACCESSIBILITY"] = "1"
        # The run lock lives in the temporary folder: one per test, so that
        # other runs of the suite on this machine cannot refuse ours.
        env["TMPDIR"] = os.path.join(home, "tmp")
        os.makedirs(env["TMPDIR"], exist_ok=True)
        if extra_path:
            env["PATH"] = extra_path + os.pathsep + env["PATH"]
        cmd = [PROGRAM]
        if faketime:
            # The library alone, not the faketime wrapper: ended by a signal,
            # the wrapper leaves its child running and its semaphore behind,
            # and a later wrapper with the same process id then refuses to start.
            env["LD_PRELOAD"] = FAKETIME_LIBRARY
            env["FAKETIME"] = "@" + faketime
        # The program's own words go to a file, shown when a test fails.
        fd, self.output_path = tempfile.mkstemp(prefix="program-", suffix=".log", dir=home)
        with os.fdopen(fd, "wb") as output:
            self.proc = subprocess.Popen(cmd, env=env, stdout=output, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        try:
            self.app = wait_for(self._find_app, 20, "the program on the accessibility bus")
            self.window = wait_for(lambda: self._top_level(lambda w: "SCR520" in (w.name or "")), 10,
                                   "the main window")
            wait_for(lambda: on_screen("SCR520"), 10, "the main window on the screen")
        except AssertionError:
            self.close()
            self.print_output()
            raise
        # Keys go to the window under the pointer when no window manager runs.
        self.hover("YES")

    def _find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and self._ours(app.get_process_id()) and app.childCount > 0:
                    return app
            except Exception:
                pass
        return None

    def _ours(self, pid):
        return pid == self.pid

    def _top_level(self, predicate):
        for i in range(self.app.childCount):
            w = self.app.getChildAtIndex(i)
            if w is not None and predicate(w):
                return w
        return None

    # Reading
    def control(self, name):
        for acc in walk(self.window):
            if acc.description == name:
                return acc
        raise AssertionError(f"no control {name}")

    def title(self):
        return self.window.name

    def text(self, name):
        acc = self.control(name)
        try:
            return acc.queryText().getText(0, -1)
        except NotImplementedError:
            return acc.name

    def caption(self, name):
        return self.control(name).name

    def checked(self, name):
        return self.control(name).getState().contains(pyatspi.STATE_CHECKED)

    def enabled(self, name):
        return self.control(name).getState().contains(pyatspi.STATE_ENABLED)

    def editable(self, name):
        return self.control(name).getState().contains(pyatspi.STATE_EDITABLE)

    def extents(self, name):
        """(x, y, width, height) of a control on the screen."""
        ext = self.control(name).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return ext.x, ext.y, ext.width, ext.height

    def focused(self):
        for acc in walk(self.window):
            if acc.getState().contains(pyatspi.STATE_FOCUSED) and acc.description:
                return acc.description
        return None

    # Acting, as a user would
    def _centre(self, acc):
        ext = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return ext.x + ext.width // 2, ext.y + ext.height // 2

    def hover(self, name):
        x, y = self._centre(self.control(name))
        xdotool("mousemove", str(x), str(y))

    def click(self, name):
        x, y = self._centre(self.control(name))
        xdotool("mousemove", str(x), str(y), "click", "1")

    def key(self, *keys):
        xdotool("key", "--delay", "60", *keys)

    def type_into(self, name, text):
        self.click(name)
        self.key("ctrl+a")
        if not text:
            self.key("BackSpace")
        elif text.isascii():
            xdotool("type", "--delay", "20", text)
        else:
            self.paste(text)

    def paste(self, text):
        # xdotool types characters outside the keymap by remapping keys on
        # the fly, and the program misses some of them; an operator pastes.
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], input=text.encode(), check=True)
        self.key("ctrl+v")

    def message_box(self, timeout=10):
        """The open message box: (title, text, box accessible)."""
        def find():
            return self._top_level(lambda w: w.getRoleName() in ("dialog", "alert")
                                   and w.getState().contains(pyatspi.STATE_SHOWING))
        box = wait_for(find, timeout, "a message box")
        texts = [a.name for a in walk(box) if a.getRoleName() == "label" and a.name]
        return box.name, "\n".join(texts), box

    def box_open(self):
        return self._top_level(lambda w: w.getRoleName() in ("dialog", "alert")
                               and w.getState().contains(pyatspi.STATE_SHOWING)) is not None

    def answer(self, button):
        """Reads the open message box and presses one of its buttons with the mouse."""
        title, text, box = self.message_box()
        wait_for(lambda: on_screen("^" + re.escape(title) + "$"), 10, "the box on the screen")
        for acc in walk(box):
            if acc.getRoleName() == "push button" and acc.name == button:
                x, y = self._centre(acc)
                xdotool("mousemove", str(x), str(y), "click", "1")
                wait_for(lambda: not box.getState().contains(pyatspi.STATE_SHOWING), 5, "the box to close")
                return title, text
        raise AssertionError(f"no button {button} in box {text!r}")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], check=True)

    def pixels(self, path):
        """The screen as an RGB image, shot into path."""
        self.screenshot(path)
        with Image.open(path) as shot:
            return shot.convert("RGB")

    def running(self):
        return self.proc.poll() is None

    def print_output(self):
        status = "running" if self.running() else f"exit status {self.proc.returncode}"
        with open(self.output_path, encoding="utf-8", errors="replace") as f:
            output = f.read()
        print(f"--- output of the program ({status}):\n{output}--- end of output", flush=True)

    def close(self):
        if self.running():
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


STUB = r"""#!/usr/bin/python3
# Stands in for the service manager: records its words, exits as told.
import filecmp, json, os, sys, time
here = os.path.dirname(os.path.abspath(__file__))
name = os.path.basename(sys.argv[0])
words = sys.argv[1:]
verb = words[0] if name == "systemctl" else (words[1] if len(words) > 1 else "")
record = {"argv": [name] + words, "time": time.time()}
try:
    with open(os.path.join(here, "watch.json")) as f:
        pairs = json.load(f)
    # Whether each target already holds its source's bytes at this moment.
    record["copied"] = [os.path.isfile(t) and filecmp.cmp(s, t, shallow=False) for s, t in pairs]
    # Whether a finished copy waits beside each target under another name.
    def staged(s, t):
        folder = os.path.dirname(t)
        if not os.path.isdir(folder):
            return False
        return any(os.path.join(folder, n) != t and os.path.isfile(os.path.join(folder, n))
                   and filecmp.cmp(s, os.path.join(folder, n), shallow=False) for n in os.listdir(folder))
    record["staged"] = [staged(s, t) for s, t in pairs]
except FileNotFoundError:
    pass
with open(os.path.join(here, "calls.jsonl"), "a", encoding="utf-8") as f:
    f.write(json.dumps(record, ensure_ascii=False) + "\n")
if verb == "show":  # asked for its state: it runs
    print("ActiveState=active\nLoadState=loaded")
try:
    # A disk that changes what was written: one byte of every staged copy
    # in these folders flips before the copies are read back.
    with open(os.path.join(here, "corrupt-" + verb)) as f:
        for folder in json.load(f):
            for n in os.listdir(folder):
                if ".zdbtmp-" in n:
                    with open(os.path.join(folder, n), "r+b") as c:
                        c.seek(1000)
                        b = c.read(1)
                        c.seek(1000)
                        c.write(bytes([b[0] ^ 0xFF]))
except FileNotFoundError:
    pass
try:
    # A slow or hung service manager.
    with open(os.path.join(here, "sleep-" + verb)) as f:
        time.sleep(float(f.read()))
except FileNotFoundError:
    pass
try:
    with open(os.path.join(here, "exit-" + verb)) as f:
        sys.exit(int(f.read()))
except FileNotFoundError:
    sys.exit(0)
"""


class ServiceStub:
    """A folder with stand-in systemctl and service programs for the front of PATH."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        for name in ("systemctl", "service"):
            path = os.path.join(folder, name)
            with open(path, "w") as f:
                f.write(STUB)
            os.chmod(path, 0o755)

    def exit_status(self, verb, status):
        with open(os.path.join(self.folder, "exit-" + verb), "w") as f:
            f.write(str(status))

    def sleep(self, verb, seconds):
        with open(os.path.join(self.folder, "sleep-" + verb), "w") as f:
            f.write(str(seconds))

    def corrupt_staged(self, verb, folders):
        """Makes the command flip a byte in every staged copy in these folders."""
        with open(os.path.join(self.folder, "corrupt-" + verb), "w") as f:
            json.dump(folders, f)

    def clear(self):
        """Back to a service manager that answers at once and changes nothing."""
        for name in os.listdir(self.folder):
            if name.split("-")[0] in ("exit", "sleep", "corrupt"):
                os.remove(os.path.join(self.folder, name))

    def watch(self, pairs):
        """Makes every call note whether each (source, target) pair is copied yet."""
        with open(os.path.join(self.folder, "watch.json"), "w") as f:
            json.dump(pairs, f)

    def calls(self):
        try:
            with open(os.path.join(self.folder, "calls.jsonl"), encoding="utf-8") as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    @staticmethod
    def expected(verb, name):
        """The command the program should run to stop, start or ask the state of a one-word name."""
        if os.path.isdir("/run/systemd/system"):
            if verb == "status":
                return ["systemctl", "show", "-p", "ActiveState", "-p", "LoadState", "--", name]
            return ["systemctl", verb, "--", name]
        return ["service", name, verb]


class ProgramCase(unittest.TestCase):
    """A test with its own home folder; a failing test leaves a picture of the screen."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="zdb-e2e-")
        self.apps = []

    def tearDown(self):
        if self._failed() and any(app.running() for app in self.apps):
            folder = os.environ.get("ZDB_E2E_ARTIFACTS")
            if folder:
                os.makedirs(folder, exist_ok=True)
                try:
                    self.apps[-1].screenshot(os.path.join(folder, self.id().rsplit(".", 1)[-1] + ".png"))
                except (OSError, subprocess.CalledProcessError):
                    pass
        for app in self.apps:
            app.close()
            if self._failed():
                app.print_output()
        shutil.rmtree(self.home, ignore_errors=True)

    def _failed(self):
        # tearDown runs as a part of its own; the failures so far are in the result.
        result = getattr(self._outcome, "result", None)
        if result is None:
            return False
        return any(getattr(test, "test_case", test) is self for test, _ in result.failures + result.errors)

    def start(self, **kw):
        app = App(self.home, **kw)
        self.apps.append(app)
        return app
