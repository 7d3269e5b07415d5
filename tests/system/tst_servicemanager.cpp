#include "ServiceManager.h"
#include "TestRegistry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace zdb;

Q_DECLARE_METATYPE(zdb::ServiceState)

namespace {

// Alive and not yet a zombie.
bool alive(const QByteArray &pid)
{
    QFile stat(QStringLiteral("/proc/") + QString::fromLatin1(pid.trimmed()) + QStringLiteral("/stat"));
    if (pid.trimmed().isEmpty() || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

} // namespace

// The real manager against stand-in systemctl and service programs placed
// first on PATH; each writes its arguments, one a line, prints
// ZDB_STUB_OUTPUT and exits with ZDB_STUB_STATUS after ZDB_STUB_SLEEP seconds.
// With ZDB_STUB_ESCAPE it ignores SIGTERM and leaves a process in a session
// of its own ("1"), or one that has left it altogether ("2").
class ServiceManagerTest : public QObject {
    Q_OBJECT

    QTemporaryDir bin_;
    QByteArray oldPath_;

    void writeStub(const QString &name)
    {
        QFile f(bin_.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(
            "#!/bin/sh\n"
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$ZDB_STUB_LOG/$(basename \"$0\")\"\n"
            "readlink /proc/$$/fd/0 > \"$ZDB_STUB_LOG/stdin\"\n"
            "printf '%b' \"$ZDB_STUB_OUTPUT\"\n"
            "if [ -n \"$ZDB_STUB_ESCAPE\" ]; then\n"
            "  trap '' TERM\n"
            "  escape='echo $$ > \"$ZDB_STUB_LOG/escaped\"; exec sleep 60'\n"
            "  if [ \"$ZDB_STUB_ESCAPE\" = 1 ]; then setsid sh -c \"$escape\" & else (setsid sh -c \"$escape\" &); fi\n"
            "fi\n"
            "sleep \"${ZDB_STUB_SLEEP:-0}\"\n"
            "exit \"${ZDB_STUB_STATUS:-0}\"\n");
        f.close();
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    QString logOf(const QString &program) const { return bin_.filePath(QStringLiteral("log/") + program); }
    QStringList argumentsRecorded(const QString &program) const
    {
        QFile f(logOf(program));
        if (!f.open(QIODevice::ReadOnly))
            return {QStringLiteral("<not run>")};
        QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
        lines.removeLast(); // after the final line feed
        return lines;
    }
    QString markerFolder(bool systemd) const
    {
        return systemd ? bin_.path() : bin_.filePath(QStringLiteral("no-such-folder"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bin_.isValid());
        writeStub(QStringLiteral("systemctl"));
        writeStub(QStringLiteral("service"));
        QVERIFY(QDir(bin_.path()).mkdir(QStringLiteral("log")));
        oldPath_ = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin_.path()) + ':' + oldPath_);
        qputenv("ZDB_STUB_LOG", QFile::encodeName(bin_.filePath(QStringLiteral("log"))));
        adoptOrphanedDescendants();
    }
    void cleanupTestCase() { qputenv("PATH", oldPath_); }
    void init()
    {
        for (const char *log : {"systemctl", "service", "escaped", "stdin"})
            QFile::remove(logOf(QString::fromLatin1(log)));
        for (const char *name : {"ZDB_STUB_OUTPUT", "ZDB_STUB_ESCAPE"})
            qunsetenv(name);
        qputenv("ZDB_STUB_STATUS", "0");
        qputenv("ZDB_STUB_SLEEP", "0");
    }

    void stopAndStart_data()
    {
        QTest::addColumn<bool>("systemd");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("program"); // "" nothing may run
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("stubStatus");
        QTest::addColumn<int>("status");

        const QString sc = QStringLiteral("systemctl"), sv = QStringLiteral("service");
        QTest::newRow("systemd stop") << true << true << "MSSQLServer" << sc << QStringList{"stop", "--", "MSSQLServer"}
                                      << 0 << 0;
        QTest::newRow("systemd start, status passed on")
            << true << false << "MSSQL$ZORVAT" << sc << QStringList{"start", "--", "MSSQL$ZORVAT"} << 5 << 5;
        QTest::newRow("dash word stays a unit")
            << true << true << "--now" << sc << QStringList{"stop", "--", "--now"} << 0 << 0;
        QTest::newRow("shell characters are plain") << true << true << "a;b|c$(id)`x`'\"&>f" << sc
                                                    << QStringList{"stop", "--", "a;b|c$(id)`x`'\"&>f"} << 0 << 0;
        QTest::newRow("japanese name") << true << false << QStringLiteral("データベース") << sc
                                       << QStringList{"start", "--", QStringLiteral("データベース")} << 0 << 0;
        QTest::newRow("service stop") << false << true << "MSSQLServer" << sv << QStringList{"MSSQLServer", "stop"} << 0
                                      << 0;
        QTest::newRow("service start fails") << false << false << "db" << sv << QStringList{"db", "start"} << 1 << 1;
        QTest::newRow("service: dash name refused") << false << true << "-x"
                                                    << "" << QStringList{} << 0 << 2;
        QTest::newRow("service: path refused") << false << true << "../../bin/x"
                                               << "" << QStringList{} << 0 << 2;
        QTest::newRow("service: empty name refused") << false << true << ""
                                                     << "" << QStringList{} << 0 << 2;
    }
    void stopAndStart()
    {
        QFETCH(bool, systemd);
        QFETCH(bool, stop);
        QFETCH(QString, unit);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, stubStatus);
        QFETCH(int, status);

        qputenv("ZDB_STUB_STATUS", QByteArray::number(stubStatus));
        HostServiceManager manager(markerFolder(systemd));
        const ServiceResult r = stop ? manager.stop(unit) : manager.start(unit);
        QCOMPARE(r.status, status);
        QCOMPARE(r.kind, status == 0 ? ServiceResult::Ok : ServiceResult::Failed);
        const QString other = systemd ? QStringLiteral("service") : QStringLiteral("systemctl");
        QVERIFY(!QFile::exists(logOf(other)));
        if (program.isEmpty()) {
            QVERIFY(!QFile::exists(logOf(QStringLiteral("service"))));
        } else {
            QCOMPARE(argumentsRecorded(program), arguments);
            QCOMPARE(readFile(logOf(QStringLiteral("stdin"))), QByteArray("/dev/null\n"));
        }
    }

    void state_data()
    {
        QTest::addColumn<bool>("systemd");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("stubStatus");
        QTest::addColumn<ServiceState>("state");
        QTest::newRow("systemd active") << true << QByteArray("ActiveState=active\\nLoadState=loaded\\n") << 0
                                        << ServiceState::Running;
        QTest::newRow("systemd going down")
            << true << QByteArray("LoadState=loaded\\nActiveState=deactivating\\n") << 0 << ServiceState::Stopped;
        QTest::newRow("systemd has no such unit")
            << true << QByteArray("ActiveState=inactive\\nLoadState=not-found\\n") << 0 << ServiceState::Missing;
        QTest::newRow("systemd says nothing") << true << QByteArray() << 0 << ServiceState::Unknown;
        QTest::newRow("systemd fails") << true << QByteArray("ActiveState=active\\n") << 1 << ServiceState::Unknown;
        QTest::newRow("script running") << false << QByteArray() << 0 << ServiceState::Running;
        QTest::newRow("script not running") << false << QByteArray() << 3 << ServiceState::Stopped;
    }
    void state()
    {
        QFETCH(bool, systemd);
        QFETCH(QByteArray, output);
        QFETCH(int, stubStatus);
        QFETCH(ServiceState, state);
        qputenv("ZDB_STUB_OUTPUT", output);
        qputenv("ZDB_STUB_STATUS", QByteArray::number(stubStatus));
        HostServiceManager manager(markerFolder(systemd));
        QCOMPARE(manager.state(QStringLiteral("db")), state);
        QCOMPARE(argumentsRecorded(systemd ? QStringLiteral("systemctl") : QStringLiteral("service")),
                 systemd ? QStringList({"show", "-p", "ActiveState", "-p", "LoadState", "--", "db"})
                         : QStringList({"db", "status"}));
    }

    void managerMissing()
    {
        QTemporaryDir empty;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(empty.path()));
        HostServiceManager manager(markerFolder(true));
        const ServiceResult r = manager.stop(QStringLiteral("x"));
        const ServiceState s = manager.state(QStringLiteral("x"));
        qputenv("PATH", path);
        QCOMPARE(r.kind, ServiceResult::NotLaunched);
        QCOMPARE(s, ServiceState::Unknown);
    }

    // At the time limit the command ends with everything it started, even a
    // process that set up a session of its own or left the command's tree.
    void timeLimitEndsAllItStarted_data()
    {
        QTest::addColumn<QByteArray>("escape");
        QTest::newRow("child in a session of its own") << QByteArray("1");
        QTest::newRow("orphan in a session of its own") << QByteArray("2");
    }
    void timeLimitEndsAllItStarted()
    {
        QFETCH(QByteArray, escape);
        qputenv("ZDB_STUB_ESCAPE", escape);
        qputenv("ZDB_STUB_SLEEP", "60");
        HostServiceManager manager(markerFolder(true));
        manager.setTimeLimit(500);
        QElapsedTimer t;
        t.start();
        const ServiceResult r = manager.stop(QStringLiteral("db"));
        const qint64 took = t.elapsed();
        const QByteArray escaped = readFile(logOf(QStringLiteral("escaped")));
        QCOMPARE(r.kind, ServiceResult::TimedOut);
        QVERIFY2(took < 10000, qPrintable(QString::number(took)));
        QVERIFY(!escaped.isEmpty());
        QVERIFY2(!alive(escaped), escaped.constData());
    }

    // The window's timers and painting go on while the command runs.
    void eventsHandledWhileWaiting()
    {
        qputenv("ZDB_STUB_SLEEP", "0.4");
        bool fired = false;
        QTimer::singleShot(50, [&] { fired = true; });
        HostServiceManager manager(markerFolder(true));
        QElapsedTimer t;
        t.start();
        QVERIFY(manager.start(QStringLiteral("x")).ok());
        QVERIFY(t.elapsed() >= 350);
        QVERIFY(fired);
    }

private:
    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

ZDB_TEST(ServiceManagerTest);
#include "tst_servicemanager.moc"
