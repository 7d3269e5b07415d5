"""Backups from the window to targets on each kind of file system an operator
uses: exFAT through FUSE (no exchange-rename; the database on another file
system, as with a USB disk), XFS and btrfs with reflinks, tmpfs. On each: a
first backup, a second one replacing the pair, and failed ones that keep it.
Needs root, loop devices and FUSE (run_fs_e2e.sh checks)."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import ProgramCase, ServiceStub, engines, wait_for
from test_backup import APP_TITLE, CONFIRM, SERVICE

DONE = "正常に処理終了しました"
FAILED = "異常終了しました"
DIFFERS = "エラーです 57\n退避したファイルが、元のファイルと一致しません。"
# Sizes that are no multiple of any block size.
SIZES = (3 * 1024 * 1024 + 17, 512 * 1024 + 5)


PRECOPY_CHANGED = "エラーです 57\n事前コピーのファイルが、途中で変更されました。"


def run(*args):
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(args)}: exit {done.returncode}\n{done.stdout}{done.stderr}")
    return done.stdout.strip()


class Mounted:
    """A new file system of one kind, on a loop device or in memory."""

    def __init__(self, kind, folder):
        self.point = os.path.join(folder, "mnt")
        self.device = None
        self.mounted = False
        os.makedirs(self.point)
        if kind == "tmpfs":
            run("mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", self.point)
            self.mounted = True
            return
        image = os.path.join(folder, "fs.img")
        with open(image, "wb") as f:
            f.truncate((512 if kind == "xfs" else 256) << 20)
        self.device = run("losetup", "--find", "--show", image)
        if kind == "exfat":
            run("mkfs.exfat", self.device)
            run("mount.exfat-fuse", self.device, self.point)
        else:
            run("mkfs.xfs", "-q", "-m", "reflink=1", self.device) if kind == "xfs" else run("mkfs.btrfs", "-q", self.device)
            run("mount", self.device, self.point)
        self.mounted = True

    def type(self):
        return run("findmnt", "-n", "-o", "FSTYPE", self.point)

    def close(self):
        if self.mounted and subprocess.run(["umount", self.point], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", self.point], capture_output=True)
        if self.device:
            subprocess.run(["losetup", "-d", self.device], capture_output=True)


def shares_blocks(path):
    """Whether the file's blocks are shared with another file (a reflink)."""
    return "shared" in run("filefrag", "-v", path)


class FileSystemTest(ProgramCase):
    def backups_on(self, kind, fstype, clones, database_apart=False):
        # Apart from the home folder, which goes before cleanups run.
        scratch = tempfile.mkdtemp(prefix="zdb-fs-")
        self.addCleanup(shutil.rmtree, scratch, True)
        fs = Mounted(kind, scratch)
        self.addCleanup(fs.close)
        self.assertEqual(fs.type(), fstype)
        stub = ServiceStub(os.path.join(self.home, "bin"))
        # The database and its backups on one file system, so that a file
        # system that can clone does; or the database on the system's disk
        # and the backups on a USB disk, where the kernel will not copy across.
        database = os.path.join(self.home if database_apart else fs.point, "db")
        sources = [os.path.join(database, n) for n in ("売上.MDF", "売上_LOG.LDF")]
        targets = [os.path.join(fs.point, "退避先", "データ", "売上.MDF"),
                   os.path.join(fs.point, "退避先", "ログ", "売上_LOG.LDF")]
        folders = [os.path.dirname(t) for t in targets]
        os.makedirs(os.path.dirname(sources[0]))

        def sources_at(version):
            pair = []
            for path, size in zip(sources, SIZES):
                data = os.urandom(size)
                with open(path, "wb") as f:
                    f.write(data)
                pair.append(data)
            return pair

        def pair_is(pair, what):
            for target, data in zip(targets, pair):
                with open(target, "rb") as f:
                    self.assertTrue(f.read() == data, f"{what}: {target} is not the copy expected")
            for folder, target in zip(folders, targets):
                self.assertEqual(os.listdir(folder), [os.path.basename(target)], f"{what}: leftovers")

        app = self.start(extra_path=stub.folder)
        app.type_into("DBサーバー名", SERVICE)
        app.type_into("DBデータパス", sources[0])
        app.type_into("DBログパス", sources[1])
        app.type_into("Path(7)", targets[0])
        app.type_into("Path2(7)", targets[1])
        app.click("DNO(7)")
        wait_for(lambda: app.checked("DNO(7)"), 5, "row 7 selected")

        def backup():
            """Starts a run; returns once it is under way (the stop has begun)."""
            calls = len(stub.calls())
            # The run before has shown its end; 開始 answers once its engine is gone.
            wait_for(lambda: not engines(), 30, "the previous run's engine to end")
            time.sleep(0.5)
            app.click("YES")
            self.assertEqual(app.answer("はい"), (APP_TITLE, CONFIRM))
            wait_for(lambda: len(stub.calls()) > calls, 15, "the stop command")
            # The run shows its stages: the end of the run before is gone.
            wait_for(lambda: app.text("MSG1") not in (DONE, FAILED), 10, "the run's stages on screen")
            return calls

        def commands_since(calls):
            return [c["argv"] for c in stub.calls()[calls:]]

        expected = [ServiceStub.expected("stop", SERVICE), ServiceStub.expected("start", SERVICE)]

        first = sources_at(1)
        calls = backup()
        wait_for(lambda: app.text("MSG1") == DONE, 30, "the first backup's end")
        self.assertEqual(commands_since(calls), expected)
        pair_is(first, "first backup")
        if clones:
            # A clone: no bytes move while the database is down.
            self.assertTrue(all(shares_blocks(t) for t in targets), "the copies are not reflinks")

        second = sources_at(2)
        calls = backup()
        wait_for(lambda: app.text("MSG1") == DONE, 30, "the second backup's end")
        self.assertEqual(commands_since(calls), expected)
        pair_is(second, "second backup")

        # Ended by the system as the service stops: started again, the
        # previous pair kept.
        sources_at(3)
        stub.sleep("stop", 1)
        calls = backup()
        for pid in engines():
            os.kill(pid, signal.SIGTERM)
        wait_for(lambda: app.text("MSG1") == FAILED, 30, "the abandoned run's end")
        self.assertEqual(commands_since(calls), expected)
        pair_is(second, "run ended by a signal")
        stub.clear()

        if not clones:
            # Copies that read back different from their sources: the
            # previous pair stays, the new copies go.
            sources_at(4)
            stub.corrupt_staged("start", folders)
            calls = backup()
            title, text = app.answer("OK")
            # Where the start comes before the copies are written, the change is found before the read-back.
            self.assertIn((title, text.rstrip("\n")), [(APP_TITLE, DIFFERS), (APP_TITLE, PRECOPY_CHANGED)])
            wait_for(lambda: app.text("MSG1") == FAILED, 30, "the failed run's end")
            self.assertEqual(commands_since(calls), expected)
            pair_is(second, "copies that read back different")
            stub.clear()

    def test_exfat_through_fuse(self):
        self.backups_on("exfat", "fuseblk", clones=False, database_apart=True)

    def test_xfs_with_reflinks(self):
        self.backups_on("xfs", "xfs", clones=True)

    def test_btrfs(self):
        self.backups_on("btrfs", "btrfs", clones=True)

    def test_tmpfs(self):
        self.backups_on("tmpfs", "tmpfs", clones=False)


if __name__ == "__main__":
    unittest.main(verbosity=2)
