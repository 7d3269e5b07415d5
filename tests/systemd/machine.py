"""A real systemd as PID 1 of private namespaces, over the host's own file
system under a throw-away layer (init.sh): what the tests do inside never
reaches the host. Root only; SkipMachine where the host refuses namespaces."""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PATH = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class SkipMachine(Exception):
    pass


def cgroup2_home():
    """A new cgroup beside ours on the cgroup2 hierarchy, for the machine's
    cgroup namespace to be rooted in."""
    mounts = [line.split() for line in open("/proc/self/mounts")]
    roots = [m[1] for m in mounts if m[2] == "cgroup2"]
    own = [line.strip()[3:] for line in open("/proc/self/cgroup") if line.startswith("0::")]
    if not roots or not own:
        raise SkipMachine("no cgroup2 hierarchy")
    return os.path.join(roots[0], own[0].lstrip("/"), f"zdb-machine-{os.getpid()}")


class Machine:
    def __init__(self):
        self.pid = None
        self.launcher = None
        self.cgroup = None

    def boot(self, timeout=60):
        if os.geteuid() != 0:
            raise SkipMachine("needs root")
        self.cgroup = cgroup2_home()
        os.mkdir(self.cgroup)
        procs = os.path.join(self.cgroup, "cgroup.procs")
        # A file, not a pipe: systemd writes to it all along and must never block.
        self.console = tempfile.TemporaryFile()
        self.launcher = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--mount", "--uts", "--ipc", "--net", "--cgroup",
             "--propagation", "private", "--kill-child", "/bin/sh", os.path.join(HERE, "init.sh")],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT,
            preexec_fn=lambda: open(procs, "w").write(str(os.getpid())))
        children = f"/proc/{self.launcher.pid}/task/{self.launcher.pid}/children"
        deadline = time.monotonic() + timeout
        state = ""
        while time.monotonic() < deadline:
            if self.launcher.poll() is not None:
                self.console.seek(0)
                said = self.console.read().decode(errors="replace")
                if "Operation not permitted" in said or "unshare failed" in said:
                    raise SkipMachine("namespaces refused: " + said)
                raise RuntimeError(f"the machine did not boot (exit {self.launcher.returncode}):\n{said}")
            if self.pid is None:
                with open(children) as f:
                    found = f.read().split()
                self.pid = int(found[0]) if found else None
            if self.pid is not None:
                state = self.run("systemctl", "is-system-running", check=False).stdout.strip()
                if state in ("running", "degraded"):
                    return
            time.sleep(0.1)
        raise RuntimeError(f"the machine is not up after {timeout} s ({state!r}):\n"
                           + self.run("systemctl", "list-jobs", "--no-pager", check=False).stdout
                           + self.run("systemctl", "--failed", "--no-pager", check=False).stdout)

    def command(self, *args):
        """A command line that runs inside, as root with a clean environment."""
        return ["nsenter", "-t", str(self.pid), "-a", "env", "-i", PATH, "LANG=C.UTF-8", *args]

    def run(self, *args, check=True, timeout=120, **kw):
        done = subprocess.run(self.command(*args), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout, **kw)
        if check and done.returncode != 0:
            raise RuntimeError(f"{' '.join(args)}: exit {done.returncode}\n{done.stdout}{done.stderr}")
        return done

    def path(self, inside):
        """Where a file inside is seen from the host."""
        return f"/proc/{self.pid}/root{inside}"

    def journal(self, *units):
        return self.run("journalctl", "--no-pager", "-o", "short-precise", "-n", "300",
                        *[f"-u{u}" for u in units], check=False).stdout

    def shut_down(self):
        if self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGKILL)  # and with PID 1 every process inside
            except ProcessLookupError:
                pass
        if self.launcher is not None:
            self.launcher.kill()
            self.launcher.wait()
        # Leaves before their parents; a cgroup goes once its last process is gone.
        for _ in range(100 if self.cgroup else 0):
            try:
                for top, dirs, _ in os.walk(self.cgroup, topdown=False):
                    for d in dirs:
                        os.rmdir(os.path.join(top, d))
                os.rmdir(self.cgroup)
                return
            except FileNotFoundError:
                return
            except OSError:
                time.sleep(0.05)


def ini_name(text):
    return "".join(c if ord(c) < 128 else "%U{:04X}".format(ord(c)) for c in text)


def install_package(m, values):
    """The built package installed inside, with root's settings number 1 holding values."""
    with tempfile.TemporaryDirectory() as packed:
        done = subprocess.run(["cpack", "-G", "DEB", "-B", packed], cwd=os.environ["ZDB_BUILD"],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        shutil.copy(glob.glob(os.path.join(packed, "*.deb"))[0], m.path("/var/tmp/zdb.deb"))
    m.run("dpkg", "-i", "/var/tmp/zdb.deb")
    m.run("mkdir", "-p", "/root/.config/QXN")
    section = ini_name("ZorvatDBバックアップ1")
    with open(m.path("/root/.config/QXN/QXN.ini"), "w", encoding="utf-8") as f:
        f.write("[QXN]\n" + "".join(f"{section}\\{ini_name(k)}={v}\n" for k, v in values.items()))


def main(m):
    """Boots the machine, runs the module's tests in it, and exits as CTest expects (77: skipped)."""
    try:
        m.boot()
    except SkipMachine as e:
        m.shut_down()
        print("SKIPPED:", e)
        sys.exit(77)
    try:
        result = unittest.main(verbosity=2, exit=False).result
    finally:
        m.shut_down()
    sys.exit(0 if result.wasSuccessful() else 1)
