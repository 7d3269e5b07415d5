"""Drives the real program in a real X server: xdotool for keys and clicks,
AT-SPI for reading what the window shows."""
import os
import subprocess
import time

import pyatspi

PROGRAM = os.environ["ZDB_PROGRAM"]


def wait_for(predicate, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


def walk(acc):
    yield acc
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True)


class App:
    """One run of the program, with its own settings folder and PATH."""

    def __init__(self, home, faketime=None, extra_path=None):
        env = dict(os.environ)
        env["HOME"] = home
        env["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env["QT_ACCESSIBILITY"] = "1"
        if extra_path:
            env["PATH"] = extra_path + os.pathsep + env["PATH"]
        cmd = [PROGRAM]
        if faketime:
            cmd = ["faketime", faketime, PROGRAM]
        self.proc = subprocess.Popen(cmd, env=env)
        self.pid = self.proc.pid
        self.app = wait_for(self._find_app, 20, "the program on the accessibility bus")
        self.window = wait_for(lambda: self._top_level(lambda w: "SCR520" in (w.name or "")), 10, "the main window")
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
        # faketime runs the program as its child.
        if pid == self.pid:
            return True
        try:
            with open(f"/proc/{pid}/status") as f:
                return any(line.split()[1:] == [str(self.pid)] for line in f if line.startswith("PPid:"))
        except OSError:
            return False

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
        if text:
            xdotool("type", "--delay", "20", text)
        else:
            self.key("BackSpace")

    def message_box(self, timeout=10):
        """The open message box: (title, text, box accessible)."""
        def find():
            return self._top_level(lambda w: w.getRoleName() in ("dialog", "alert")
                                   and w.getState().contains(pyatspi.STATE_SHOWING))
        box = wait_for(find, timeout, "a message box")
        texts = [a.name for a in walk(box) if a.getRoleName() == "label" and a.name]
        return box.name, "\n".join(texts), box

    def answer(self, button):
        """Reads the open message box and presses one of its buttons with the mouse."""
        title, text, box = self.message_box()
        for acc in walk(box):
            if acc.getRoleName() == "push button" and acc.name == button:
                x, y = self._centre(acc)
                xdotool("mousemove", str(x), str(y), "click", "1")
                wait_for(lambda: not box.getState().contains(pyatspi.STATE_SHOWING), 5, "the box to close")
                return title, text
        raise AssertionError(f"no button {button} in box {text!r}")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], check=True)

    def running(self):
        return self.proc.poll() is None

    def close(self):
        if self.running():
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
