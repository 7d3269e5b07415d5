"""Restores under a real systemd with a real MariaDB keeping everything in one
data file and one redo log: the pair a cold backup can bring back."""
import glob
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from machine import Machine, install_package, main

MACHINE = Machine()
DB = "mariadb.service"
LIVE = ("/var/lib/mysql/ibdata1", "/var/lib/mysql/ib_logfile0")
COPIES = ("/var/backups/zdb/ibdata1", "/var/backups/zdb/ib_logfile0")
ONE_PAIR = ("[mysqld]\ninnodb_file_per_table = 0\ninnodb_undo_tablespaces = 0\ninnodb_log_file_size = 48M\n"
            "innodb_buffer_pool_size = 64M\ninnodb_flush_method = fsync\n")
# Long enough a stop and a start to be caught in.
SLOW_DB = "[Service]\nExecStartPre=/bin/sleep 1.5\nExecStop=/bin/sleep 1.5\n"


def sql(query, check=True):
    return MACHINE.run("mariadb", "-uroot", "-N", "-B", "-e", query, check=check).stdout.strip()


def rows():
    return sql("SELECT COUNT(*), COALESCE(SUM(CRC32(CONCAT(id, pad))), 0) FROM zdb.t", check=False)


def restore(*extra, **kw):
    return MACHINE.run("zorvatdbbackup", "--restore", "mon", *extra, check=False, **kw)


def answers():
    return MACHINE.run("systemctl", "is-active", DB, check=False).stdout.strip() == "active" and \
        "OK" in sql("CHECK TABLE zdb.t", check=False)


def leftovers():
    return glob.glob(MACHINE.path("/var/lib/mysql/.*zdbrestore-*"))


class RestoreTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        m = MACHINE
        with open(m.path("/etc/mysql/mariadb.conf.d/99-one-pair.cnf"), "w") as f:
            f.write(ONE_PAIR)
        # The tests start it more often than systemd's default limit allows.
        os.makedirs(m.path(f"/etc/systemd/system/{DB}.d"))
        with open(m.path(f"/etc/systemd/system/{DB}.d/limit.conf"), "w") as f:
            f.write("[Unit]\nStartLimitIntervalSec=0\n")
        m.run("systemctl", "daemon-reload")
        m.run("sh", "-c", "rm -rf /var/lib/mysql/* && install -d -o mysql -g mysql /run/mysqld")
        m.run("mariadb-install-db", "--user=mysql", "--datadir=/var/lib/mysql", "--skip-test-db")
        m.run("systemctl", "start", DB)
        sql("CREATE DATABASE zdb; CREATE TABLE zdb.t (id INT PRIMARY KEY, pad VARCHAR(500)) ENGINE=InnoDB;"
            " SET SESSION max_recursive_iterations = 1000000; INSERT INTO zdb.t WITH RECURSIVE s(n) AS"
            " (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 100000) SELECT n, REPEAT(MD5(n), 12) FROM s;")
        m.run("mkdir", "-p", "/var/backups/zdb")
        values = {"DBサーバー名": DB, "DBデータパス": LIVE[0], "DBログパス": LIVE[1]}
        for row in range(7):
            values.update({f"DBデータパス1{row}": COPIES[0], f"DBログパス1{row}": COPIES[1]})
        install_package(m, values)

    def said(self, done=None):
        out = f"\nexit {done.returncode}\n{done.stdout}{done.stderr}" if done else ""
        return out + "\njournal:\n" + MACHINE.journal(DB, "zorvatdbbackup-nightly.service")

    def backup(self):
        done = MACHINE.run("systemctl", "start", "zorvatdbbackup-nightly.service", check=False)
        self.assertEqual(done.returncode, 0, self.said(done))
        return rows()

    def change_rows(self, mark):
        sql(f"DELETE FROM zdb.t WHERE id % 7 = 0; UPDATE zdb.t SET pad = '{mark}' WHERE id % 5 = 0;"
            f" INSERT INTO zdb.t VALUES (1000000 + FLOOR(RAND() * 1000000), '{mark}');")

    def damage(self):
        MACHINE.run("systemctl", "stop", DB)
        with open(MACHINE.path(LIVE[0]), "r+b") as f:
            f.write(os.urandom(1 << 20))
        self.assertNotEqual(MACHINE.run("systemctl", "start", DB, check=False).returncode, 0)

    def test_1_restore_brings_back_the_backup(self):
        for what, spoil in (("rows changed", lambda: self.change_rows("later")), ("data file damaged", self.damage)):
            with self.subTest(what):
                saved = self.backup()
                spoil()
                done = restore("--yes")
                print(done.stdout, flush=True)
                self.assertEqual(done.returncode, 0, self.said(done))
                self.assertTrue(answers(), self.said(done))
                self.assertEqual(rows(), saved, self.said(done))
                kept = re.findall(r"置き換えたファイル: (\S+) → (\S+)", done.stdout)
                self.assertEqual([k[0] for k in kept], list(LIVE), self.said(done))
                for _, aside in kept:
                    self.assertGreater(os.path.getsize(MACHINE.path(aside)), 0, self.said(done))
                self.assertEqual(leftovers(), [], self.said(done))
                status = MACHINE.run("zorvatdbbackup", "--status", check=False).stdout
                self.assertIn(kept[0][1], status.split("最後の復元 (last restore)")[1], status)

    def test_2_refused_copies_never_stop_the_database(self):
        self.backup()
        older_log = MACHINE.path("/var/tmp/older-log")
        shutil.copy(MACHINE.path(COPIES[1]), older_log)
        self.change_rows("newer")
        self.backup()
        good = [open(MACHINE.path(c), "rb").read() for c in COPIES]
        invocation = lambda: MACHINE.run("systemctl", "show", "-p", "InvocationID", "--value", DB).stdout
        cases = [  # (what, copy, how it is spoilt, what the program says)
            ("flipped byte", 0, lambda b: b[:4096] + bytes([b[4096] ^ 1]) + b[4097:], "履歴に記録された内容と一致しません"),
            ("mixed pair", 1, lambda b: open(older_log, "rb").read(), "別々のバックアップのもの"),
        ]
        for what, which, spoil, text in cases:
            with self.subTest(what):
                with open(MACHINE.path(COPIES[which]), "wb") as f:
                    f.write(spoil(good[which]))
                before, state = invocation(), rows()
                done = restore("--yes")
                self.assertEqual(done.returncode, 1, self.said(done))
                self.assertIn(text, done.stdout, self.said(done))
                self.assertEqual((invocation(), rows()), (before, state), self.said(done))
                self.assertEqual(leftovers(), [], self.said(done))
                with open(MACHINE.path(COPIES[which]), "wb") as f:
                    f.write(good[which])

    def test_3_killed_restore_leaves_one_whole_state(self):
        with open(MACHINE.path(f"/etc/systemd/system/{DB}.d/slow.conf"), "w") as f:
            f.write(SLOW_DB)
        MACHINE.run("systemctl", "daemon-reload")
        stages = [  # (stage, when the restore is killed, under strace, the pair the database holds after the guard)
            ("staging", lambda: any(COPIES[0] in p for p in self.reading()), (), "live"),
            ("stop", lambda: self.db_state() == "deactivating", (), "restored"),
            # The second rename: the live data file aside, the live log not yet.
            ("renames", None, ("strace", "-f", "-o", "/dev/null", "-e", "trace=renameat2",
                               "-e", "inject=renameat2:signal=SIGKILL:when=2"), "restored"),
            ("start", lambda: self.db_state() == "activating", (), "restored"),
        ]
        try:
            for stage, ready, prefix, expected in stages:
                with self.subTest(stage):
                    self.pid = 0
                    saved = self.backup()
                    self.change_rows(stage)
                    live = rows()
                    run = subprocess.Popen(MACHINE.command(*prefix, "zorvatdbbackup", "--restore", "mon", "--yes"),
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                    deadline = time.monotonic() + 60
                    while ready and run.poll() is None and time.monotonic() < deadline and not ready():
                        time.sleep(0.002)
                    if ready:
                        os.kill(self.pid, signal.SIGKILL)
                    said = run.communicate()[0]
                    killed = time.monotonic()
                    guard = MACHINE.run("zorvatdbbackup", "--guard", check=False)
                    while not answers() and time.monotonic() < killed + 30:
                        time.sleep(0.1)
                    seconds = time.monotonic() - killed
                    state = "restored" if rows() == saved else "live" if rows() == live else "neither"
                    print(f"killed at the {stage}: the database runs again after {seconds:.1f} s, "
                          f"holding the {state} pair", flush=True)
                    info = f"\nrestore said:\n{said}\nguard:\n{guard.stdout}{guard.stderr}" + self.said()
                    self.assertTrue(answers(), info)
                    self.assertEqual(state, expected, info)
                    self.assertEqual(leftovers(), [], info)
                    status = MACHINE.run("zorvatdbbackup", "--status", check=False).stdout
                    self.assertIn("途中で終わりました", status.split("最後の復元 (last restore)")[1], info + status)
        finally:
            os.remove(MACHINE.path(f"/etc/systemd/system/{DB}.d/slow.conf"))
            MACHINE.run("systemctl", "daemon-reload")

    pid = 0

    def reading(self):
        for p in [d for d in os.listdir("/proc") if d.isdigit()] if not self.pid else []:
            try:
                with open(f"/proc/{p}/cmdline", "rb") as f:
                    if f.read().startswith(b"zorvatdbbackup\0--restore"):
                        self.pid = int(p)
            except OSError:
                pass
        try:
            return [os.readlink(f"/proc/{self.pid}/fd/{fd}") for fd in os.listdir(f"/proc/{self.pid}/fd")]
        except OSError:
            return []

    def db_state(self):
        self.reading()
        return MACHINE.run("systemctl", "show", "-p", "ActiveState", "--value", DB).stdout.strip()


if __name__ == "__main__":
    main(MACHINE)
