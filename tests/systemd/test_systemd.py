"""The built package installed under a real systemd, with a real PostgreSQL
cluster as the database service and two of its relation files as the pair."""
import hashlib
import os
import signal
import subprocess
import time
import unittest

from machine import Machine, install_package, main

MACHINE = Machine()
DB = "postgresql@15-main"
UNIT = "zorvatdbbackup-nightly.service"
TARGET_DIR = "/var/backups/zdb/"
TARGETS = (TARGET_DIR + "DATA.MDF", TARGET_DIR + "LOG.LDF")
SOURCES = []  # two relation files of the cluster, found once it has them
# Real services take their time: long enough a stop and a start to be caught in.
SLOW_DB = """[Service]
ExecStartPre=/bin/sleep 1.5
ExecStop=
ExecStop=/bin/sleep 1.5
ExecStop=/usr/bin/pg_ctlcluster --skip-systemctl-redirect -m fast %i stop
"""


# Where the run is killed, and when that is.
STAGES = [  # (where, when, what the journal says the run was doing)
    ("before the stop", lambda w: w.db == "active" and SOURCES[0] in w.reading, "事前コピー中です"),  # its first copy
    ("during the stop", lambda w: w.db == "deactivating", "事前コピー中です"),
    ("during the copy", lambda w: w.db == "inactive" and SOURCES[0] in w.reading, "1.処理中です"),
    ("during the start", lambda w: w.db == "activating", "SQLServer開始処理中です"),
    # Once the database is back: a first copy is made while it still runs.
    ("during the read-back", lambda w: "inactive" in w.seen and w.db == "active"
     and any(p.startswith(TARGET_DIR) for p in w.reading), "3.検証中です"),
]


class Watch:
    """One run of the unit, seen from the host: at once, where systemctl and
    the journal take a while (a run reaches its stop within milliseconds)."""

    def __init__(self):
        self.pid, self.host_pid, self.db, self.seen, self.reading, self.ended = 0, 0, "", set(), [], False

    def sample(self):
        """The run's main process (in the unit's cgroup) and the files it has open to read."""
        try:
            with open(os.path.join(MACHINE.cgroup, "system.slice", UNIT, "cgroup.procs")) as f:
                running = [int(p) for p in f.read().split()]
        except FileNotFoundError:
            running = []
        for p in running if not self.host_pid else []:
            try:
                with open(f"/proc/{p}/cmdline", "rb") as f:
                    if not f.read().startswith(b"/usr/bin/zorvatdbbackup\0--run"):
                        continue
                with open(f"/proc/{p}/status") as f:
                    self.pid = int(next(line for line in f if line.startswith("NSpid:")).split()[-1])
                self.host_pid = p
            except (FileNotFoundError, ProcessLookupError):
                pass
        self.ended = bool(self.host_pid) and self.host_pid not in running
        self.reading = []
        for fd in os.listdir(f"/proc/{self.host_pid}/fd") if self.host_pid and not self.ended else []:
            try:
                with open(f"/proc/{self.host_pid}/fdinfo/{fd}") as f:
                    if int(next(line for line in f if line.startswith("flags:")).split()[1], 8) & os.O_ACCMODE:
                        continue
                self.reading.append(os.readlink(f"/proc/{self.host_pid}/fd/{fd}"))
            except (FileNotFoundError, ProcessLookupError):
                pass

    def sample_db(self):
        self.db = MACHINE.run("systemctl", "show", "-p", "ActiveState", "--value", DB).stdout.strip()
        self.seen.add(self.db)

    def said(self):
        return MACHINE.run("journalctl", "-o", "cat", f"_PID={self.pid}", f"_SYSTEMD_UNIT={UNIT}").stdout


class SystemdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        m = MACHINE
        if "15 main" not in m.run("pg_lsclusters", "-h").stdout:
            m.run("pg_createcluster", "15", "main")
        for key, value in (("autovacuum", "off"), ("wal_level", "minimal"), ("max_wal_senders", "0")):
            m.run("pg_conftool", "15", "main", "set", key, value)
        os.makedirs(m.path(f"/etc/systemd/system/{DB}.service.d"))
        with open(m.path(f"/etc/systemd/system/{DB}.service.d/slow.conf"), "w") as f:
            f.write(SLOW_DB)
        m.run("systemctl", "daemon-reload")
        m.run("systemctl", "start", DB)
        # A data file of some hundred MB, so that each stage lasts long enough to be hit.
        cls.sql("BEGIN; CREATE TABLE big (id int, pad text); CREATE TABLE small (id int, pad text);"
                " INSERT INTO big SELECT g, repeat(md5(g::text), 30) FROM generate_series(1, 600000) g;"
                " INSERT INTO small SELECT g, md5(g::text) FROM generate_series(1, 20000) g; COMMIT;")
        SOURCES[:] = [cls.sql(f"SELECT current_setting('data_directory') || '/' || pg_relation_filepath('{t}')")
                      for t in ("big", "small")]

        m.run("mkdir", "-p", os.path.dirname(TARGETS[0]))
        values = {"DBサーバー名": DB, "DBデータパス": SOURCES[0], "DBログパス": SOURCES[1]}
        for row in range(7):  # every weekday, so that any day's run has them
            values.update({f"DBデータパス1{row}": TARGETS[0], f"DBログパス1{row}": TARGETS[1]})
        install_package(m, values)

    @classmethod
    def sql(cls, *queries, check=True):
        args = [a for q in queries for a in ("-c", q)]
        return MACHINE.run("runuser", "-u", "postgres", "--", "psql", "-XAtq", "-v", "ON_ERROR_STOP=1", *args,
                           check=check).stdout.strip()

    def change_sources(self, mark):
        """New contents in both files, put on disk, so that a new pair differs from the previous one."""
        self.sql(f"UPDATE big SET pad = '{mark}' WHERE id = 1", f"UPDATE small SET pad = '{mark}' WHERE id = 1",
                 "VACUUM FREEZE big", "VACUUM FREEZE small", "CHECKPOINT")

    def pair(self, paths):
        def digest(path):
            try:
                with open(MACHINE.path(path), "rb") as f:
                    return hashlib.file_digest(f, "sha1").hexdigest()
            except FileNotFoundError:
                return None
        return tuple(digest(p) for p in paths)

    def said(self, w=None):
        run = f"\nthe run (pid {w.pid}) said:\n{w.said()}" if w else ""
        return run + "\njournal:\n" + MACHINE.journal(UNIT, DB)

    def database_answers(self):
        return (MACHINE.run("systemctl", "is-active", DB, check=False).stdout.strip() == "active"
                and self.sql("SELECT 1", check=False) == "1")

    def test_1_nightly_run(self):
        self.change_sources("nightly")
        sources = self.pair(SOURCES)
        done = MACHINE.run("systemctl", "start", UNIT, check=False)
        self.assertEqual(done.returncode, 0, done.stderr + self.said())
        self.assertIn("正常に処理終了しました", MACHINE.journal(UNIT), self.said())
        self.assertTrue(self.database_answers(), self.said())
        self.assertEqual(self.pair(TARGETS), sources, self.said())

    def test_2_killed_run(self):
        for number, (stage, ready, doing) in enumerate(STAGES):
            with self.subTest(stage=stage):
                self.change_sources(f"kill {number}")
                kept, new = self.pair(TARGETS), self.pair(SOURCES)
                w = Watch()
                # Watched while systemctl is still on its way back: a run reaches its stop within milliseconds.
                start = subprocess.Popen(MACHINE.command("systemctl", "start", "--no-block", UNIT))
                deadline = time.monotonic() + 60
                while True:
                    w.sample()
                    self.assertFalse(w.ended or time.monotonic() > deadline, f"{stage} never came{self.said(w)}")
                    if ready(w):
                        # As the OOM killer would: SIGKILL to the run's main process.
                        os.kill(w.host_pid, signal.SIGKILL)
                        break
                    if w.host_pid:
                        w.sample_db()
                    time.sleep(0.002)
                killed = time.monotonic()
                start.wait()
                while not self.database_answers() and time.monotonic() < killed + 15:
                    time.sleep(0.1)
                seconds = time.monotonic() - killed
                print(f"killed {stage}: the database runs again after {seconds:.1f} s", flush=True)
                while MACHINE.run("systemctl", "is-active", UNIT, check=False).stdout.strip() in (
                        "active", "activating", "deactivating") and time.monotonic() < killed + 60:
                    time.sleep(0.1)
                said = self.said(w)
                self.assertLess(seconds, 15, said)
                self.assertEqual(MACHINE.run("systemctl", "show", "-p", "Result", "--value", UNIT).stdout.strip(),
                                 "signal", said)
                self.assertIn(self.pair(TARGETS), (kept, new), said)
                # What it was doing reached the journal, and the history tells the run was cut short.
                self.assertIn(doing, MACHINE.journal(UNIT).rsplit("Starting", 1)[-1], said)
                status = MACHINE.run("zorvatdbbackup", "--status", check=False).stdout
                self.assertIn("途中で終わりました", status.split("失敗")[-1].splitlines()[0], said + status)
        # And the next night's run backs up as ever.
        self.test_1_nightly_run()


if __name__ == "__main__":
    main(MACHINE)
