#include "BackupEngine.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"
#include "SystemDoubles.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace zdb;
using test::readFile;
using test::writeFile;

namespace {

const QString kStop = QStringLiteral("stop db");
const QString kStart = QStringLiteral("start db");
const QString kRestarted = QStringLiteral("<restarted>");
const QString kNoLog = QStringLiteral("DBログファイルなし");
constexpr int kHangs = test::RecordingServiceManager::kTimedOut;

QString report(int n) { return runErrorReport(n, errorText(n)); }

// The engine on real files in a temporary folder, with the service manager
// and the lock standing in. Commands and events land in one journal, so
// that their order can be read.
struct Rig {
    QTemporaryDir dir;
    test::RecordingServiceManager manager;
    test::FaultyFileOps files;
    HostRunLock lock{dir.filePath(QStringLiteral("run.lock"))};
    RunRecords records{dir.filePath(QStringLiteral("state"))};
    EngineServices services{files, manager, lock, records, [](int) {}};
    BackupRequest request;
    QStringList journal;
    bool ok = false;
    int abandonAfterProgress = -1;

    Rig()
    {
        services.restartWaitMs = 0;
        request = {QStringLiteral(" db "), path("src/D.MDF"), path("src/L.LDF"),
                   path("bk/D.MDF"),       path("bk/L.LDF"),  {}};
        writeFile(request.dataSource, "new data");
        writeFile(request.logSource, "new log");
        writeFile(request.dataTarget, "old data");
        writeFile(request.logTarget, "old log");
        manager.whileRunning = [this](const QString &line) {
            journal << line;
            if (line == kStop && records.servicesMarkedDown() != QStringList{QStringLiteral("db")})
                journal << QStringLiteral("<no mark while stopping>");
        };
    }
    QString path(const char *rel) const { return dir.filePath(QString::fromUtf8(rel)); }
    QStringList run()
    {
        int progressSeen = 0;
        services.abandoned = [&] { return abandonAfterProgress >= 0 && progressSeen > abandonAfterProgress; };
        BackupEngine engine(services, [&](const RunEvent &e) {
            switch (e.kind) {
            case RunEvent::Stage: journal << e.text; break;
            case RunEvent::Message: journal << QStringLiteral("box: ") + e.text; break;
            case RunEvent::Restarted: journal << kRestarted; break;
            case RunEvent::Progress: ++progressSeen; break;
            case RunEvent::Finished: break;
            }
        });
        ok = engine.run(request);
        return journal;
    }
};

QString box(const QString &text) { return QStringLiteral("box: ") + text; }

} // namespace

class EngineTest : public QObject {
    Q_OBJECT
private slots:
    // Every box of the copy phase comes after the start command; the
    // previous pair stands unless the new one is complete and read back.
    void order_data()
    {
        QTest::addColumn<QList<int>>("exitCodes");
        QTest::addColumn<QString>("fault"); // "operation:suffix:number"
        QTest::addColumn<bool>("logSource");
        QTest::addColumn<QStringList>("journal");
        QTest::addColumn<bool>("newPair");
        QTest::addColumn<bool>("markLeft");

        const QString s1 = QStringLiteral("1.処理中です... 退避先:");
        const QString s2 = QStringLiteral("2.処理中です... 退避先:");
        const QString restart = QStringLiteral("SQLServer開始処理中です... ");
        const QString ok = QString::fromUtf8(kMsgNormalEnd), failed = QString::fromUtf8(kMsgAbnormalEnd);
        Rig r; // the paths' folder differs per rig: the row compares by prefix
        QTest::newRow("stop fails") << QList<int>{2} << QString() << true
                                    << QStringList{kStop, box(stopFailureText()), failed} << false << false;
        QTest::newRow("copy fails") << QList<int>{} << "stage:D.MDF:61" << true
                                    << QStringList{kStop, s1, restart, kStart, kRestarted, box(report(61)), failed}
                                    << false << false;
        QTest::newRow("no log source") << QList<int>{} << QString() << false
                                       << QStringList{kStop, s1, s2, restart, kStart, kRestarted, box(kNoLog), "3", ok}
                                       << true << false;
        QTest::newRow("copy differs on disk")
            << QList<int>{} << "corrupt:L.LDF:0" << true
            << QStringList{kStop,
                           s1,
                           s2,
                           restart,
                           kStart,
                           kRestarted,
                           "3",
                           "3",
                           box(runErrorReport(57, QStringLiteral("退避したファイルが、元のファイルと一致しません。"))),
                           failed}
            << false << false;
        QTest::newRow("start fails")
            << QList<int>{0, 1} << QString() << true
            << QStringList{kStop, s1, s2, restart, kStart, kRestarted, box(startFailureText()), "3", "3", failed}
            << true << true;
        QTest::newRow("stop hangs") << QList<int>{kHangs} << QString() << true
                                    << QStringList{kStop, restart, kStart, kRestarted, box(stopTimedOutText()), failed}
                                    << false << false;
        QTest::newRow("start hangs")
            << QList<int>{0, kHangs} << QString() << true
            << QStringList{kStop, s1, s2, restart, kStart, kRestarted, box(startTimedOutText()), "3", "3", failed}
            << true << true;
    }
    void order()
    {
        QFETCH(QList<int>, exitCodes);
        QFETCH(QString, fault);
        QFETCH(bool, logSource);
        QFETCH(QStringList, journal);
        QFETCH(bool, newPair);
        QFETCH(bool, markLeft);

        Rig r;
        r.manager.exitCodes = exitCodes;
        if (!fault.isEmpty()) {
            const QStringList f = fault.split(u':');
            r.files.faults << test::FaultyFileOps::Fault{f[0], f[1], f[2].toInt()};
        }
        if (!logSource)
            QFile::remove(r.request.logSource);
        const QStringList got = r.run();
        // Stage texts name a target: compare their beginnings; "3" stands for a read-back.
        QCOMPARE(got.size(), journal.size());
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(got[i].startsWith(journal[i] == "3" ? QStringLiteral("3.検証中です... 退避先:") : journal[i]),
                     qPrintable(got.join(u'|')));
        QCOMPARE(r.ok, journal.last() == QString::fromUtf8(kMsgNormalEnd));
        QCOMPARE(readFile(r.request.dataTarget), newPair ? QByteArray("new data") : QByteArray("old data"));
        if (logSource)
            QCOMPARE(readFile(r.request.logTarget), newPair ? QByteArray("new log") : QByteArray("old log"));
        QCOMPARE(r.records.servicesMarkedDown().isEmpty(), !markLeft);
    }

    // What would fail the copy is found before anything is stopped.
    void refusedBeforeTheStop_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("box");
        const QString sameFile =
            QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。\r退避先を確認して下さい。");
        QTest::newRow("data source missing") << "no source" << report(53);
        QTest::newRow("data source is a folder") << "source folder" << report(75);
        QTest::newRow("target is a folder") << "target folder" << report(75);
        QTest::newRow("target folder under a file") << "folder under file" << report(76);
        QTest::newRow("name with a blank") << "name my db" << badServiceNameText();
        QTest::newRow("name with a tab") << "name my\tdb" << badServiceNameText();
        QTest::newRow("name like an option") << "name --all" << badServiceNameText();
        QTest::newRow("no targets") << "no targets"
                                    << QStringLiteral(
                                           "エラーです。退避先が、指定されていません。\r退避先を確認して下さい。");
        QTest::newRow("same targets") << "same targets" << sameFile;
    }
    void refusedBeforeTheStop()
    {
        QFETCH(QString, change);
        QFETCH(QString, box);
        Rig r;
        BackupRequest &q = r.request;
        if (change == "no source")
            QFile::remove(q.dataSource);
        if (change == "source folder") {
            QFile::remove(q.dataSource);
            QDir().mkpath(q.dataSource);
        }
        if (change == "target folder") {
            QFile::remove(q.logTarget);
            QDir().mkpath(q.logTarget);
        }
        if (change == "folder under file")
            q.logTarget = q.dataTarget + QStringLiteral("/sub/L.LDF");
        if (change.startsWith("name "))
            q.serviceName = change.mid(5);
        if (change == "no targets")
            q.dataTarget = q.logTarget = QString();
        if (change == "same targets")
            q.logTarget = q.dataTarget;
        const QStringList got = r.run();
        QCOMPARE(got, (QStringList{::box(box), QString::fromUtf8(kMsgAbnormalEnd)}));
        QVERIFY(r.manager.calls.isEmpty());
        QCOMPARE(readFile(r.path("bk/D.MDF")), QByteArray("old data"));
    }

    // A signal while the service is down: the copy is dropped, the service
    // started, the previous pair kept and nothing of the new one left.
    void signalAbandonsTheCopy()
    {
        Rig r;
        r.abandonAfterProgress = 0;
        const QStringList got = r.run();
        QCOMPARE(r.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(got.last(), QString::fromUtf8(kMsgAbnormalEnd));
        QVERIFY(!r.ok);
        QCOMPARE(readFile(r.request.dataTarget), QByteArray("old data"));
        QCOMPARE(QDir(r.path("bk")).entryList(QDir::Files | QDir::Hidden).size(), 2);
        QVERIFY(r.records.servicesMarkedDown().isEmpty());
    }

    void secondRunOfTheServiceIsRefused()
    {
        Rig r;
        HostRunLock other(r.dir.filePath(QStringLiteral("run.lock")));
        QVERIFY(other.tryAcquire(QStringLiteral("db")));
        const QStringList got = r.run();
        QCOMPARE(got.first(), box(QStringLiteral("エラーです。他のバックアップ処理が実行中です。")));
        QVERIFY(r.manager.calls.isEmpty());
    }

    void eventsCrossThePipeUnchanged()
    {
        const RunEvent events[] = {RunEvent::stage(QStringLiteral("1.処理中です... 退避先:/b/\"x\"\r")),
                                   RunEvent::progress(5'000'000'000, 6'000'000'000),
                                   RunEvent::message(stopFailureText()), RunEvent::restarted(),
                                   RunEvent::finished(true)};
        for (const RunEvent &e : events) {
            const QByteArray line = encodeEvent(e);
            QCOMPARE(line.count('\n'), 1);
            QCOMPARE(decodeEvent(line), std::optional<RunEvent>(e));
        }
        const BackupRequest q{QStringLiteral("db"), "a", "b", "c", "d", {"e", "f"}};
        QCOMPARE(decodeRequest(encodeRequest(q)), std::optional<BackupRequest>(q));
        QVERIFY(!decodeEvent("garbage"));
    }
};

ZDB_TEST(EngineTest);
#include "tst_engine.moc"
