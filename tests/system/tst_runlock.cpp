#include "RunLock.h"
#include "TestRegistry.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace zdb;

class RunLockTest : public QObject {
    Q_OBJECT

    // Its own folder, so that other test runs on this machine never meet it.
    QTemporaryDir dir_;
    const QString scope_ = dir_.filePath(QStringLiteral("locks"));

private slots:
    void oneHolderPerName_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("bothHeld");
        QTest::newRow("same name") << "MSSQLServer"
                                   << "MSSQLServer" << false;
        QTest::newRow("other name") << "MSSQLServer" << QStringLiteral("MSSQL$販売") << true;
        QTest::newRow("names differ in case") << "MSSQLServer"
                                              << "mssqlserver" << true;
        // Too long to stand as it is: its digest stands for it.
        QTest::newRow("same long name") << QString(300, u'x') << QString(300, u'x') << false;
        QTest::newRow("long names differ at the end") << QString(300, u'x') << QString(299, u'x') + u'y' << true;
    }
    void oneHolderPerName()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, bothHeld);
        HostRunLock a(scope_), b(scope_);
        QVERIFY(a.tryAcquire(first));
        QCOMPARE(b.tryAcquire(second), bothHeld);
        QVERIFY(a.tryAcquire(first)); // the holder asking again keeps it
        a.release();
        QVERIFY(b.tryAcquire(second));
        QCOMPARE(a.tryAcquire(first), bothHeld);
    }

    // The kernel frees the name with a process that dies holding it.
    void killedHolderFreesTheName()
    {
        const QString name = QStringLiteral("MSSQLServer");
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            HostRunLock held(scope_);
            const char ok = held.tryAcquire(name) ? 'y' : 'n';
            [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char answer = 0;
        const ssize_t n = ::read(ready[0], &answer, 1);
        ::close(ready[0]);
        HostRunLock mine(scope_);
        const bool refusedWhileAlive = !mine.tryAcquire(name);
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(n, ssize_t(1));
        QCOMPARE(answer, 'y');
        QVERIFY(refusedWhileAlive);
        QVERIFY(mine.tryAcquire(name));
    }

    // Without a folder it is the machine's lock, which tests must not hold long.
    void hostLockIsMachineWide()
    {
        HostRunLock machine;
        const QString name = QStringLiteral("zdb-test-") + scope_;
        QVERIFY(machine.tryAcquire(name));
        HostRunLock other;
        QVERIFY(!other.tryAcquire(name));
        machine.release();
        QVERIFY(other.tryAcquire(name));
    }
};

ZDB_TEST(RunLockTest);
#include "tst_runlock.moc"
