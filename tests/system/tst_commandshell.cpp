#include "CommandShell.h"
#include "PlatformError.h"
#include "TestRegistry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace zdb;

// Runs the real shell against stand-in systemctl and service programs placed
// first on PATH; each writes its arguments, one a line, and exits with the
// status in ZDB_STUB_STATUS after ZDB_STUB_SLEEP seconds.
class CommandShellTest : public QObject {
    Q_OBJECT

    QTemporaryDir bin_;
    QByteArray oldPath_;

    void writeStub(const QString &name)
    {
        QFile f(bin_.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n"
                "sleep \"${ZDB_STUB_SLEEP:-0}\"\n"
                "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$ZDB_STUB_LOG/$(basename \"$0\")\"\n"
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
    }
    void cleanupTestCase() { qputenv("PATH", oldPath_); }
    void init()
    {
        QFile::remove(logOf(QStringLiteral("systemctl")));
        QFile::remove(logOf(QStringLiteral("service")));
        qputenv("ZDB_STUB_STATUS", "0");
        qputenv("ZDB_STUB_SLEEP", "0");
    }

    void serviceCommands_data()
    {
        QTest::addColumn<bool>("systemd");
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("program"); // "" nothing may run
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("stubStatus");
        QTest::addColumn<int>("status");

        const QString sc = QStringLiteral("systemctl"), sv = QStringLiteral("service");
        QTest::newRow("systemd stop") << true << "NET STOP MSSQLServer" << sc
                                      << QStringList{"stop", "--", "MSSQLServer"} << 0 << 0;
        QTest::newRow("systemd start, status passed on")
            << true << "NET START MSSQL$ZORVAT" << sc << QStringList{"start", "--", "MSSQL$ZORVAT"} << 5 << 5;
        QTest::newRow("name with blanks is several units")
            << true << "NET STOP my  db" << sc << QStringList{"stop", "--", "my", "db"} << 0 << 0;
        QTest::newRow("dash word stays a unit")
            << true << "NET STOP --now -H host" << sc << QStringList{"stop", "--", "--now", "-H", "host"} << 0 << 0;
        QTest::newRow("shell characters are plain") << true << "NET STOP a;b|c$(id)`x`'\"&>f" << sc
                                                    << QStringList{"stop", "--", "a;b|c$(id)`x`'\"&>f"} << 0 << 0;
        QTest::newRow("empty name still runs") << true << "NET STOP " << sc << QStringList{"stop", "--"} << 1 << 1;
        QTest::newRow("verb in any case") << true << "net Start x" << sc << QStringList{"start", "--", "x"} << 0 << 0;
        QTest::newRow("japanese name") << true << QStringLiteral("NET STOP データベース") << sc
                                       << QStringList{"stop", "--", QStringLiteral("データベース")} << 0 << 0;

        QTest::newRow("service stop") << false << "NET STOP MSSQLServer" << sv << QStringList{"MSSQLServer", "stop"}
                                      << 0 << 0;
        QTest::newRow("service start fails") << false << "NET START db" << sv << QStringList{"db", "start"} << 1 << 1;
        QTest::newRow("service: dash name refused") << false << "NET STOP -x"
                                                    << "" << QStringList{} << 0 << 2;
        QTest::newRow("service: two words refused") << false << "NET STOP a b"
                                                    << "" << QStringList{} << 0 << 2;
        QTest::newRow("service: path refused") << false << "NET STOP ../../bin/x"
                                               << "" << QStringList{} << 0 << 2;
        QTest::newRow("service: empty name refused") << false << "NET STOP "
                                                     << "" << QStringList{} << 0 << 2;
    }
    void serviceCommands()
    {
        QFETCH(bool, systemd);
        QFETCH(QString, commandLine);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, stubStatus);
        QFETCH(int, status);

        qputenv("ZDB_STUB_STATUS", QByteArray::number(stubStatus));
        HostCommandShellFactory factory(markerFolder(systemd));
        auto shell = factory.create();
        QCOMPARE(shell->run(commandLine, 1, true), status);
        const QString other = systemd ? QStringLiteral("service") : QStringLiteral("systemctl");
        QVERIFY(!QFile::exists(logOf(other)));
        if (program.isEmpty()) {
            QVERIFY(!QFile::exists(logOf(QStringLiteral("service"))));
        } else {
            QCOMPARE(argumentsRecorded(program), arguments);
        }
    }

    void unknownCommandOrProgramFails_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("emptyPath");
        QTest::newRow("not a service command") << "DIR C:" << false;
        QTest::newRow("NET without verb") << "NET" << false;
        QTest::newRow("other NET verb") << "NET USE x" << false;
        QTest::newRow("service manager missing") << "NET STOP x" << true;
    }
    void unknownCommandOrProgramFails()
    {
        QFETCH(QString, commandLine);
        QFETCH(bool, emptyPath);
        QTemporaryDir empty;
        const QByteArray path = qgetenv("PATH");
        if (emptyPath)
            qputenv("PATH", QFile::encodeName(empty.path()));
        HostCommandShellFactory factory(markerFolder(true));
        auto shell = factory.create();
        int number = 0;
        try {
            shell->run(commandLine, 1, true);
        } catch (const PlatformError &e) {
            number = e.number();
        }
        qputenv("PATH", path);
        QCOMPARE(number, int(kErrFileNotFound));
    }

    // The window's timers and painting go on while the command runs.
    void eventsHandledWhileWaiting()
    {
        qputenv("ZDB_STUB_SLEEP", "0.4");
        bool fired = false;
        QTimer::singleShot(50, [&] { fired = true; });
        HostCommandShellFactory factory(markerFolder(true));
        QElapsedTimer t;
        t.start();
        QCOMPARE(factory.create()->run(QStringLiteral("NET START x"), 1, true), 0);
        QVERIFY(t.elapsed() >= 350);
        QVERIFY(fired);
    }
};

ZDB_TEST(CommandShellTest);
#include "tst_commandshell.moc"
