#include "BackupRun.h"
#include "FileOps.h"
#include "MainWindow.h"
#include "PlatformError.h"
#include "RunLock.h"
#include "ServiceTexts.h"
#include "TestFiles.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "Widgets.h"

#include <QAbstractButton>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <unistd.h>

using namespace zdb;
using test::readFile;
using test::writeFile;

namespace {

const QString kConfirm = QStringLiteral("処理します。よろしいですか？");
const QString kOsMessage = QStringLiteral("対象外のOSです。対象は、Windows2000 及び WindowsXPです");
const QString kNoLog = QStringLiteral("DBログファイルなし");
const QString kOk = QStringLiteral("正常に処理終了しました");
const QString kFailed = QStringLiteral("異常終了しました");
const QString kPrevious = QStringLiteral("前回の表示");
const QString kStop = QStringLiteral("stop MSSQLServer");
const QString kStart = QStringLiteral("start MSSQLServer");
const QString kSameAsSource =
    QStringLiteral("エラーです。退避先に、バックアップ元のDBファイルが指定されています。\r退避先を確認して下さい。");
const QString kSameTargets =
    QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。\r退避先を確認して下さい。");
const QString kLocked =
    QStringLiteral("エラーです。他のバックアップ処理が実行中です。\rしばらく待ってから、もう一度実行して下さい。");
const QByteArray kMissing = "<missing>";

QString stopFailure()
{
    return QStringLiteral("エラーです。ＤＢサービスを、停止できません。\rＤＢサービス名が正しいか、確認して下さい。\r\r"
                          "DBサービス名は、ｺﾝﾄﾛｰﾙﾊﾟﾈﾙの管理ﾂｰﾙのｻｰﾋﾞｽで、表示される名前です\r\r"
                          "通常DBサービス名は、MSDE2000       の場合は、MSSQL$ｲﾝｽﾀﾝｽ名      \r"
                          "                    MSSQL2000SERVERの場合は、MSSQLServer    です");
}
QString startFailure()
{
    return QStringLiteral("エラーです。ＤＢサービスを、開始できません。\rＤＢサービスの状態を、確認して下さい。");
}
QString report(int n) { return QStringLiteral("エラーです ") + QString::number(n) + u'\r' + errorText(n) + u'\r'; }

using Faults = QList<test::FaultyFileOps::Fault>;

constexpr qint64 MiB = 1 << 20;
const QString kCopyDiffers = QStringLiteral("エラーです 57\r退避したファイルが、元のファイルと一致しません。\r");
QString spaceText(int need, int free)
{
    return QStringLiteral("エラーです。退避先の空き容量が不足しています。\r退避先の空き容量を確認して下さい。\r"
                          "必要な容量は%1MB、空き容量は%2MB（前回の退避ファイルを含めて）です。")
        .arg(need)
        .arg(free);
}
bool resizeFile(const QString &path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.resize(size);
}

// A window over doubles, with sources and a previous pair of copies in row 0
// (start-up selects it: the fake clock's day is a Monday).
struct Rig {
    test::TestPlatform tp;
    QTemporaryDir dir;
    MainWindow w{tp.platform};

    Rig()
    {
        w.load();
        text("DBサーバー名").setText(QStringLiteral(" MSSQLServer  "));
        text("DBデータパス").setText(path("db/DATA.MDF"));
        text("DBログパス").setText(path("db/DATA_LOG.LDF"));
        w.control(QStringLiteral("Path"), 0).setText(path("bk/mon/DATA.MDF"));
        w.control(QStringLiteral("Path2"), 0).setText(path("bk/mon/DATA_LOG.LDF"));
        writeFile(path("db/DATA.MDF"), "new data");
        writeFile(path("db/DATA_LOG.LDF"), "new log");
        writeFile(dataTarget(), "old data");
        writeFile(logTarget(), "old log");
        text("MSG1").setText(kPrevious);
    }
    Control text(const char *name) { return w.control(QString::fromUtf8(name)); }
    QString path(const char *rel) const { return dir.filePath(QString::fromUtf8(rel)); }
    QString dataTarget() const { return path("bk/mon/DATA.MDF"); }
    QString logTarget() const { return path("bk/mon/DATA_LOG.LDF"); }
    QString msg1() { return text("MSG1").text(); }
    void clickYes() { static_cast<QAbstractButton *>(text("YES").widget())->click(); }
    QStringList tempFiles() const
    {
        QStringList out;
        QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = it.next();
            if (name.contains(QString::fromLatin1(kTempMarker)) || name.contains(QString::fromLatin1(kPreviousMarker)))
                out << name;
        }
        return out;
    }
};

} // namespace

class BackupRunTest : public QObject {
    Q_OBJECT
private slots:
    void outcomes_data()
    {
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QString>("lblOS");
        QTest::addColumn<QList<int>>("exitCodes");
        QTest::addColumn<QStringList>("cannotStart");
        QTest::addColumn<bool>("dataSource");
        QTest::addColumn<bool>("logSource");
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("msg1");
        QTest::addColumn<QByteArray>("dataAfter");
        QTest::addColumn<QByteArray>("logAfter");

        const QString w2k = QStringLiteral("Windows 2000 & Xp");
        const QStringList both{kStop, kStart};
        QTest::newRow("answer No") << QList<int>{7} << w2k << QList<int>{} << QStringList{} << true << true << Faults{}
                                   << QStringList{} << QStringList{kConfirm} << kPrevious << QByteArray("old data")
                                   << QByteArray("old log");
        QTest::newRow("Windows Me") << QList<int>{} << "Windows Me" << QList<int>{} << QStringList{} << true << true
                                    << Faults{} << QStringList{} << QStringList{kConfirm, kOsMessage} << kPrevious
                                    << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("no OS caption") << QList<int>{} << "" << QList<int>{} << QStringList{} << true << true
                                       << Faults{} << QStringList{} << QStringList{kConfirm, kOsMessage} << kPrevious
                                       << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("stop fails") << QList<int>{} << w2k << QList<int>{2} << QStringList{} << true << true << Faults{}
                                    << QStringList{kStop, QStringLiteral("state MSSQLServer")}
                                    << QStringList{kConfirm, stopFailure()} << kFailed << QByteArray("old data")
                                    << QByteArray("old log");
        QTest::newRow("stop cannot start") << QList<int>{} << w2k << QList<int>{} << QStringList{kStop} << true << true
                                           << Faults{} << QStringList{kStop} << QStringList{kConfirm, report(53)}
                                           << kFailed << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("success") << QList<int>{} << w2k << QList<int>{} << QStringList{} << true << true << Faults{}
                                 << both << QStringList{kConfirm} << kOk << QByteArray("new data")
                                 << QByteArray("new log");
        QTest::newRow("log source missing")
            << QList<int>{} << w2k << QList<int>{} << QStringList{} << true << false << Faults{} << both
            << QStringList{kConfirm, kNoLog} << kOk << QByteArray("new data") << kMissing;
        // Found before anything is stopped.
        QTest::newRow("data source missing")
            << QList<int>{} << w2k << QList<int>{} << QStringList{} << false << true << Faults{} << QStringList{}
            << QStringList{kConfirm, report(53)} << kFailed << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("both sources missing")
            << QList<int>{} << w2k << QList<int>{} << QStringList{} << false << false << Faults{} << QStringList{}
            << QStringList{kConfirm, report(53)} << kFailed << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("start fails") << QList<int>{} << w2k << QList<int>{0, 1} << QStringList{} << true << true
                                     << Faults{} << both << QStringList{kConfirm, startFailure()} << kFailed
                                     << QByteArray("new data") << QByteArray("new log");
        QTest::newRow("copy and start fail")
            << QList<int>{} << w2k << QList<int>{0, 3} << QStringList{} << true << true
            << Faults{{"stage", "DATA.MDF", 61}} << both << QStringList{kConfirm, report(61), startFailure()} << kFailed
            << QByteArray("old data") << QByteArray("old log");
        QTest::newRow("start cannot start: tried a second time")
            << QList<int>{} << w2k << QList<int>{} << QStringList{kStart} << true << true << Faults{}
            << QStringList{kStop, kStart, kStart} << QStringList{kConfirm, report(53), startFailure()} << kFailed
            << QByteArray("new data") << QByteArray("new log");
    }
    void outcomes()
    {
        QFETCH(QList<int>, answers);
        QFETCH(QString, lblOS);
        QFETCH(QList<int>, exitCodes);
        QFETCH(QStringList, cannotStart);
        QFETCH(bool, dataSource);
        QFETCH(bool, logSource);
        QFETCH(Faults, faults);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, boxes);
        QFETCH(QString, msg1);
        QFETCH(QByteArray, dataAfter);
        QFETCH(QByteArray, logAfter);

        Rig r;
        r.tp.boxes.answers = answers;
        r.text("LblOS").setText(lblOS);
        r.tp.manager.exitCodes = exitCodes;
        r.tp.manager.failToStart = cannotStart;
        r.tp.files.faults = faults;
        if (!dataSource)
            QVERIFY(QFile::remove(r.path("db/DATA.MDF")));
        if (!logSource)
            QVERIFY(QFile::remove(r.path("db/DATA_LOG.LDF")));

        r.clickYes();

        QCOMPARE(r.tp.manager.calls, commands);
        QCOMPARE(r.tp.boxes.prompts(), boxes);
        QCOMPARE(r.msg1(), msg1);
        QCOMPARE(readFile(r.dataTarget()), dataAfter);
        QCOMPARE(readFile(r.logTarget()), logAfter);
        QCOMPARE(r.tempFiles(), QStringList{});
        // After the stop alone the shell is kept until the next run; the restart releases it.
        for (const auto &b : r.tp.boxes.shown) {
            if (b.prompt == kOsMessage)
                QCOMPARE(b.title, std::optional<QString>(QStringLiteral("ZorvatDBバックアップ")));
            else
                QCOMPARE(b.title, std::optional<QString>());
            QCOMPARE(b.code, b.prompt == kConfirm ? 36 : 0);
        }
        // The lock is free again for the next run, whatever the outcome.
        HostRunLock other(r.tp.stateFolder.filePath(QStringLiteral("run.lock")));
        QVERIFY(other.tryAcquire(QStringLiteral("MSSQLServer")));
    }

    // A failure at any point of the copy phase keeps the previous pair, leaves
    // no temporary file and starts the service again.
    void copyPhaseFailures_data()
    {
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<bool>("logSource");
        QTest::addColumn<bool>("previous");
        QTest::addColumn<int>("number");
        const struct {
            const char *name;
            Faults faults;
            bool logSource;
            int number;
        } points[] = {
            {"data copy, disk full", {{"stage", "DATA.MDF", 61}}, true, 61},
            {"log existence test", {{"exists", "DATA_LOG.LDF", 57}}, true, 57},
            {"log copy, access denied", {{"stage", "DATA_LOG.LDF", 70}}, true, 70},
            {"data into place", {{"swap", "DATA.MDF", 70}}, true, 70},
            {"log into place", {{"swap", "DATA_LOG.LDF", 57}}, true, 57},
            {"log moved aside, no log source", {{"aside", "DATA_LOG.LDF", 70}}, false, 70},
            {"log into place, data cannot go back",
             {{"swap", "DATA_LOG.LDF", 57}, {"swapBack", "DATA.MDF", 57}},
             true,
             57},
        };
        for (const auto &p : points) {
            QTest::addRow("%s, previous pair", p.name) << p.faults << p.logSource << true << p.number;
            QTest::addRow("%s, no previous pair", p.name) << p.faults << p.logSource << false << p.number;
        }
    }
    void copyPhaseFailures()
    {
        QFETCH(Faults, faults);
        QFETCH(bool, logSource);
        QFETCH(bool, previous);
        QFETCH(int, number);
        Rig r;
        r.tp.files.faults = faults;
        if (!logSource)
            QVERIFY(QFile::remove(r.path("db/DATA_LOG.LDF")));
        if (!previous)
            QVERIFY(QFile::remove(r.dataTarget()) && QFile::remove(r.logTarget()));

        r.clickYes();

        QCOMPARE(r.tp.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(r.tp.boxes.prompts().last(), report(number));
        QCOMPARE(r.msg1(), kFailed);
        const bool dataStuck = faults.size() > 1; // the previous data copy is kept, under its temporary name
        if (previous) {
            QCOMPARE(readFile(r.logTarget()), QByteArray("old log"));
            if (!dataStuck)
                QCOMPARE(readFile(r.dataTarget()), QByteArray("old data"));
        } else {
            QCOMPARE(readFile(r.logTarget()), kMissing);
            if (!dataStuck)
                QCOMPARE(readFile(r.dataTarget()), kMissing);
        }
        if (dataStuck && previous) {
            QCOMPARE(r.tempFiles().size(), 1);
            QCOMPARE(readFile(r.tempFiles().first()), QByteArray("old data"));
        } else if (!dataStuck) {
            QCOMPARE(r.tempFiles(), QStringList{});
        }
        QCOMPARE(readFile(r.path("db/DATA.MDF")), QByteArray("new data"));
    }

    // A target that is a source, or one target for both copies, stops nothing.
    void mistakenTargets_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("message");
        QTest::newRow("data target is the data file") << "db/DATA.MDF"
                                                      << "bk/L" << kSameAsSource;
        QTest::newRow("log target is the log file") << "bk/D"
                                                    << "db/DATA_LOG.LDF" << kSameAsSource;
        QTest::newRow("data target is the log file") << "db/DATA_LOG.LDF"
                                                     << "bk/L" << kSameAsSource;
        QTest::newRow("log target is the data file") << "bk/D"
                                                     << "db/DATA.MDF" << kSameAsSource;
        QTest::newRow("another path to the data file") << "db/../db/./DATA.MDF"
                                                       << "bk/L" << kSameAsSource;
        QTest::newRow("hard link to the data file") << "hard.MDF"
                                                    << "bk/L" << kSameAsSource;
        QTest::newRow("symbolic link to the log file") << "bk/D"
                                                       << "soft.LDF" << kSameAsSource;
        QTest::newRow("through a linked folder") << "dblink/DATA.MDF"
                                                 << "bk/L" << kSameAsSource;
        QTest::newRow("one target for both") << "bk/X"
                                             << "bk/X" << kSameTargets;
        QTest::newRow("one target through a link") << "bk/X"
                                                   << "bklink/X" << kSameTargets;
        QTest::newRow("both targets empty")
            << ""
            << "" << QStringLiteral("エラーです。退避先が、指定されていません。\r退避先を確認して下さい。");
    }
    void mistakenTargets()
    {
        QFETCH(QString, data);
        QFETCH(QString, log);
        QFETCH(QString, message);
        Rig r;
        QVERIFY(::link(QFile::encodeName(r.path("db/DATA.MDF")).constData(),
                       QFile::encodeName(r.path("hard.MDF")).constData())
                == 0);
        QVERIFY(QFile::link(r.path("db/DATA_LOG.LDF"), r.path("soft.LDF")));
        QVERIFY(QFile::link(r.path("db"), r.path("dblink")));
        QVERIFY(QFile::link(r.path("bk"), r.path("bklink")));
        const auto at = [&](const QString &rel) { return rel.isEmpty() ? rel : r.dir.filePath(rel); };
        r.w.control(QStringLiteral("Path"), 0).setText(at(data));
        r.w.control(QStringLiteral("Path2"), 0).setText(at(log));

        r.clickYes();

        QCOMPARE(r.tp.boxes.prompts(), (QStringList{kConfirm, message}));
        QCOMPARE(r.tp.manager.calls.size(), 0);
        QCOMPARE(r.msg1(), kFailed);
        QCOMPARE(readFile(r.path("db/DATA.MDF")), QByteArray("new data"));
        QCOMPARE(readFile(r.path("db/DATA_LOG.LDF")), QByteArray("new log"));
    }

    void commandLines_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        QTest::newRow("blanks trimmed") << " MSSQLServer  "
                                        << "MSSQLServer";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("blanks only") << "   "
                                     << "";
        QTest::newRow("dollar sign kept") << " MSSQL$ZORVAT "
                                          << "MSSQL$ZORVAT";
    }
    void commandLines()
    {
        QFETCH(QString, box);
        QFETCH(QString, name);
        Rig r;
        r.text("DBサーバー名").setText(box);
        r.clickYes();
        QCOMPARE(r.tp.manager.calls, (QStringList{QStringLiteral("stop ") + name, QStringLiteral("start ") + name}));
        QCOMPARE(r.w.serviceName, name);
    }

    void focusOnEndAfterReport()
    {
        Rig r;
        r.w.show();
        r.tp.files.faults = {{"stage", "DATA.MDF", 61}};
        r.clickYes();
        QCOMPARE(r.msg1(), kFailed);
        QCOMPARE(r.w.activeControl().name(), QStringLiteral("END"));
    }

    // While a run is under way the window handles its events, but YES starts
    // nothing and the window stays open.
    void refusedWhileRunning()
    {
        Rig r;
        r.w.show();
        int tries = 0;
        bool closed = false;
        r.tp.events.onWait = [&](int) {
            if (tries++ > 0) // once: without the refusal a nested run would come back here
                return;
            r.clickYes();
            static_cast<QAbstractButton *>(r.text("END").widget())->click();
            QTest::keyClick(&r.w, Qt::Key_Escape);
            closed = closed || !r.w.isVisible() || r.w.close();
        };
        r.clickYes();
        QVERIFY(tries > 0);
        QVERIFY(!closed);
        QCOMPARE(r.tp.backups.requests.size(), 1);
        QCOMPARE(r.tp.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(r.tp.boxes.prompts(), QStringList{kConfirm});
        QCOMPARE(r.msg1(), kOk);
        // Once the run has ended the window closes.
        QVERIFY(r.w.close());
    }

    // END once the run has said its last word, while its process still
    // ends: the window closes as soon as it has, not never.
    void endAfterTheLastWord()
    {
        Rig r;
        r.w.show();
        r.tp.events.onWait = [&](int) {
            if (r.msg1() == kOk)
                static_cast<QAbstractButton *>(r.text("END").widget())->click();
        };
        r.clickYes();
        QTRY_VERIFY(!r.w.isVisible());
    }

    // The offer at start-up for a service a killed run left down: the start
    // runs under the service's lock; the mark goes once it worked, or on No.
    void leftDownOffer_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("lockHeld");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("boxesAfter");
        QTest::addColumn<bool>("markLeft");
        QTest::newRow("yes, start works") << 6 << 0 << false << QStringList{kStart} << QStringList{} << false;
        QTest::newRow("yes, start fails")
            << 6 << 1 << false << QStringList{kStart} << QStringList{startFailure()} << true;
        QTest::newRow("no") << 7 << 0 << false << QStringList{} << QStringList{} << false;
        QTest::newRow("yes, a run began meanwhile") << 6 << 0 << true << QStringList{} << QStringList{} << true;
    }
    void leftDownOffer()
    {
        QFETCH(int, answer);
        QFETCH(int, exitCode);
        QFETCH(bool, lockHeld);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, boxesAfter);
        QFETCH(bool, markLeft);
        Rig r;
        r.tp.records.markServiceDown(QStringLiteral("MSSQLServer"));
        r.tp.boxes.answers = {answer};
        r.tp.manager.exitCodes = {exitCode};
        HostRunLock other(r.tp.stateFolder.filePath(QStringLiteral("run.lock")));
        QVERIFY(!lockHeld || other.tryAcquire(QStringLiteral("MSSQLServer")));
        reviewEarlierRuns(r.w);
        QCOMPARE(r.tp.manager.calls, calls);
        QCOMPARE(r.tp.boxes.prompts().mid(1), boxesAfter);
        QVERIFY(r.tp.boxes.prompts().value(0).contains(QStringLiteral("（MSSQLServer）が、停止したまま")));
        QCOMPARE(r.tp.records.servicesMarkedDown().size(), markLeft ? 1 : 0);
    }

    // Another program's run holds the lock: nothing is stopped.
    void anotherProgramRunning()
    {
        Rig r;
        HostRunLock other(r.tp.stateFolder.filePath(QStringLiteral("run.lock")));
        QVERIFY(other.tryAcquire(QStringLiteral("MSSQLServer")));
        r.clickYes();
        QCOMPARE(r.tp.boxes.prompts(), (QStringList{kConfirm, kLocked}));
        QCOMPARE(r.tp.manager.calls.size(), 0);
        QCOMPARE(r.msg1(), kFailed);
        other.release();
        r.clickYes();
        QCOMPARE(r.tp.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(r.msg1(), kOk);
    }

    void targetsOfRow_data()
    {
        QTest::addColumn<int>("row");
        QTest::newRow("Sunday") << 6;
        QTest::newRow("other") << 7;
    }
    void targetsOfRow()
    {
        QFETCH(int, row);
        Rig r;
        r.w.control(QStringLiteral("DNO"), row).setValue(true);
        r.w.control(QStringLiteral("Path"), row).setText(r.path("bk/row/新しい/D.MDF"));
        r.w.control(QStringLiteral("Path2"), row).setText(r.path("bk/row/L.LDF"));
        r.clickYes();
        QCOMPARE(r.msg1(), kOk);
        QCOMPARE(readFile(r.path("bk/row/新しい/D.MDF")), QByteArray("new data"));
        QCOMPARE(readFile(r.path("bk/row/L.LDF")), QByteArray("new log"));
        QCOMPARE(readFile(r.dataTarget()), QByteArray("old data"));
    }

    // The room is measured before the stop; the two copies add up where the
    // targets share a file system.
    void freeSpace_data()
    {
        QTest::addColumn<qint64>("dataSize");
        QTest::addColumn<bool>("oneFileSystem");
        QTest::addColumn<qint64>("freeForData");
        QTest::addColumn<qint64>("freeForLog");
        QTest::addColumn<QString>("refusal"); // "" the run goes ahead
        // The previous data copy ("old data") holds 8 bytes; the log target is new.
        const qint64 d = 3 * MiB + 1, l = MiB;
        QTest::newRow("data copy does not fit") << d << false << 2 * MiB << 10 * MiB << spaceText(4, 2);
        QTest::newRow("log copy does not fit") << d << false << 10 * MiB << l - 1 << spaceText(1, 0);
        QTest::newRow("each fits, not both on one file system") << d << true << 4 * MiB - 16 << 0LL << spaceText(5, 3);
        QTest::newRow("fits where the previous pair was") << d << true << d + l - 8 << 0LL << QString();
        QTest::newRow("both fit exactly on one file system") << d << true << d + l << 0LL << QString();
        QTest::newRow("each fits exactly on its own") << d << false << d << l << QString();
        QTest::newRow("empty data file") << 0LL << false << 0LL << l << QString();
    }
    void freeSpace()
    {
        QFETCH(qint64, dataSize);
        QFETCH(bool, oneFileSystem);
        QFETCH(qint64, freeForData);
        QFETCH(qint64, freeForLog);
        QFETCH(QString, refusal);
        Rig r;
        QVERIFY(resizeFile(r.path("db/DATA.MDF"), dataSize));
        QVERIFY(resizeFile(r.path("db/DATA_LOG.LDF"), MiB));
        // The log target's folder is yet to be made: it is measured where it would be.
        r.w.control(QStringLiteral("Path2"), 0).setText(r.path("bk2/new/DATA_LOG.LDF"));
        r.tp.files.space = [&](const QString &path) {
            const bool log = path.contains(QStringLiteral("bk2/"));
            FreeSpace s;
            s.known = true;
            s.device = oneFileSystem || !log ? 1 : 2;
            s.available = quint64(oneFileSystem ? freeForData : log ? freeForLog : freeForData);
            return s;
        };

        r.clickYes();

        if (refusal.isEmpty()) {
            QCOMPARE(r.tp.boxes.prompts(), QStringList{kConfirm});
            QCOMPARE(r.tp.manager.calls, (QStringList{kStop, kStart}));
            QCOMPARE(r.msg1(), kOk);
            return;
        }
        QCOMPARE(r.tp.boxes.prompts(), (QStringList{kConfirm, refusal}));
        QCOMPARE(r.tp.boxes.shown.last().code, 0);
        QCOMPARE(r.tp.boxes.shown.last().title, std::optional<QString>());
        QCOMPARE(r.tp.manager.calls.size(), 0);
        QCOMPARE(r.msg1(), kFailed);
        QCOMPARE(readFile(r.dataTarget()), QByteArray("old data"));
        QCOMPARE(readFile(r.logTarget()), QByteArray("old log"));
        QVERIFY(!QFileInfo::exists(r.path("bk2")));
        QCOMPARE(r.tempFiles(), QStringList{});
        QCOMPARE(r.tp.files.calls.filter(QStringLiteral("stage ")), QStringList{});
    }

    // Each copy is read back after the restart; one whose bytes changed after
    // they were written never replaces the previous pair.
    void verification_data()
    {
        QTest::addColumn<QString>("corrupt"); // suffix of the target whose copy goes bad; "" none
        QTest::addColumn<bool>("previous");
        QTest::newRow("sound copies") << "" << true;
        QTest::newRow("data copy changed") << "DATA.MDF" << true;
        QTest::newRow("log copy changed") << "DATA_LOG.LDF" << true;
        QTest::newRow("data copy changed, no previous pair") << "DATA.MDF" << false;
        QTest::newRow("log copy changed, no previous pair") << "DATA_LOG.LDF" << false;
    }
    void verification()
    {
        QFETCH(QString, corrupt);
        QFETCH(bool, previous);
        Rig r;
        if (!previous)
            QVERIFY(QFile::remove(r.dataTarget()) && QFile::remove(r.logTarget()));
        if (!corrupt.isEmpty())
            r.tp.files.faults = Faults{{QStringLiteral("corrupt"), corrupt, 0}};
        bool started = false;
        r.tp.manager.whileRunning = [&](const QString &line) { started = started || line == kStart; };
        QStringList verifying;
        r.tp.events.onPaint = [&] {
            const QString m = r.msg1();
            if (m.startsWith(QStringLiteral("3.")) && (verifying.isEmpty() || verifying.last() != m)) {
                QVERIFY2(started, "verified while the service was still stopped");
                verifying << m;
            }
        };

        r.clickYes();

        const QString v = QStringLiteral("3.検証中です... 退避先:");
        QCOMPARE(r.tp.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(r.tempFiles(), QStringList{});
        if (corrupt.isEmpty()) {
            QCOMPARE(verifying, (QStringList{v + r.dataTarget(), v + r.logTarget()}));
            QCOMPARE(r.tp.boxes.prompts(), QStringList{kConfirm});
            QCOMPARE(r.msg1(), kOk);
            QCOMPARE(readFile(r.dataTarget()), QByteArray("new data"));
            QCOMPARE(readFile(r.logTarget()), QByteArray("new log"));
            return;
        }
        QCOMPARE(verifying.last(), v + (corrupt == "DATA.MDF" ? r.dataTarget() : r.logTarget()));
        QCOMPARE(r.tp.boxes.prompts(), (QStringList{kConfirm, kCopyDiffers}));
        QCOMPARE(r.msg1(), kFailed);
        QCOMPARE(readFile(r.dataTarget()), previous ? QByteArray("old data") : kMissing);
        QCOMPARE(readFile(r.logTarget()), previous ? QByteArray("old log") : kMissing);
        // The catalogue keeps its own text for the number.
        QCOMPARE(errorText(57), QStringLiteral("デバイス I/O エラーです。"));
    }

    // The bar under MSG1's text runs to the end for every copy and read-back,
    // and leaves the window as it was.
    void progressBar()
    {
        Rig r;
        r.w.show();
        QVERIFY(resizeFile(r.path("db/DATA.MDF"), 20 * MiB + 5));
        QVERIFY(resizeFile(r.path("db/DATA_LOG.LDF"), 3 * MiB));
        const int controls = r.w.controlCount();
        QWidget *label = r.text("MSG1").widget();
        QMap<QString, QList<double>> seen; // MSG1's text -> the bar's values when painted
        r.tp.events.onPaint = [&] {
            const auto strips = label->findChildren<ProgressStrip *>();
            QCOMPARE(strips.size(), 1);
            ProgressStrip *s = strips.first();
            QVERIFY(s->isVisible());
            // Inside the label's box, under its text.
            QVERIFY(label->rect().contains(s->geometry()));
            QVERIFY(s->geometry().top() > label->height() / 2);
            QCOMPARE(r.w.controlCount(), controls);
            seen[r.msg1()] << s->fraction();
        };

        r.clickYes();

        QCOMPARE(r.msg1(), kOk);
        const QStringList steps{QStringLiteral("事前コピー中です... 退避先:") + r.dataTarget(),
                                QStringLiteral("事前コピー中です... 退避先:") + r.logTarget(),
                                QStringLiteral("1.処理中です... 退避先:") + r.dataTarget(),
                                QStringLiteral("2.処理中です... 退避先:") + r.logTarget(),
                                QStringLiteral("コピー中です... 退避先:") + r.dataTarget(),
                                QStringLiteral("コピー中です... 退避先:") + r.logTarget(),
                                QStringLiteral("3.検証中です... 退避先:") + r.dataTarget(),
                                QStringLiteral("3.検証中です... 退避先:") + r.logTarget()};
        for (const QString &step : steps) {
            QVERIFY2(seen.contains(step), qPrintable(step));
            QCOMPARE(seen[step].first(), 0.0);
            QCOMPARE(seen[step].last(), 1.0);
            QVERIFY(std::is_sorted(seen[step].begin(), seen[step].end()));
        }
        QCOMPARE(seen.size(), 8);
        QCOMPARE(label->findChildren<ProgressStrip *>().size(), 0);
        QCOMPARE(r.w.controlCount(), controls);
    }

    // Staged copies that a killed run left beside the targets are removed
    // before the stop; anything not of our naming stays.
    void leftovers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind"); // file, folder, link
        QTest::addColumn<bool>("removed");
        QTest::newRow("staged data copy") << ".DATA.MDF.zdbtmp-a1B2c3"
                                          << "file" << true;
        QTest::newRow("staged log copy") << ".DATA_LOG.LDF.zdbtmp-ZZ9yx8"
                                         << "file" << true;
        // Alone beside a whole pair it marks a run killed between its swaps: it goes back.
        QTest::newRow("previous data copy") << ".DATA.MDF.zdbprev-a1B2c3"
                                            << "file" << true;
        QTest::newRow("five characters") << ".DATA.MDF.zdbtmp-a1B2c"
                                         << "file" << false;
        QTest::newRow("seven characters") << ".DATA.MDF.zdbtmp-a1B2c3d"
                                          << "file" << false;
        QTest::newRow("not a letter or digit") << ".DATA.MDF.zdbtmp-a1B2c_"
                                               << "file" << false;
        QTest::newRow("without the dot") << "DATA.MDF.zdbtmp-a1B2c3"
                                         << "file" << false;
        QTest::newRow("another file's name") << ".OTHER.MDF.zdbtmp-a1B2c3"
                                             << "file" << false;
        QTest::newRow("name differs in case") << ".data.mdf.zdbtmp-a1B2c3"
                                              << "file" << false;
        QTest::newRow("a folder") << ".DATA.MDF.zdbtmp-d1r2e3"
                                  << "folder" << false;
        QTest::newRow("a symbolic link") << ".DATA.MDF.zdbtmp-l1n2k3"
                                         << "link" << false;
    }
    void leftovers()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        Rig r;
        const QString at = QFileInfo(r.dataTarget()).dir().filePath(name);
        QVERIFY(writeFile(r.path("elsewhere"), "keep"));
        if (kind == "file")
            QVERIFY(writeFile(at, "left over"));
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(at));
        else
            QVERIFY(QFile::link(r.path("elsewhere"), at));
        bool goneAtStop = false;
        r.tp.manager.whileRunning = [&](const QString &line) {
            if (line == kStop)
                goneAtStop = !QFileInfo(at).exists() && !QFileInfo(at).isSymLink();
        };

        r.clickYes();

        QCOMPARE(r.msg1(), kOk);
        QCOMPARE(goneAtStop, removed);
        QCOMPARE(!QFileInfo(at).exists() && !QFileInfo(at).isSymLink(), removed);
        QCOMPARE(readFile(r.path("elsewhere")), QByteArray("keep"));
        QCOMPARE(readFile(r.dataTarget()), QByteArray("new data"));
    }

    void reportLines_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("third");
        QTest::newRow("50") << 53 << 50 << "エラーです 53" << 50 << 0;
        QTest::newRow("51") << 53 << 51 << "エラーです 53" << 50 << 1;
        QTest::newRow("130") << 61 << 130 << "エラーです 61" << 50 << 50;
        QTest::newRow("empty text, zero") << 0 << 0 << "エラーです 0" << 0 << 0;
        QTest::newRow("negative") << -2147024894 << 10 << "エラーです-2147024894" << 10 << 0;
    }
    void reportLines()
    {
        QFETCH(int, number);
        QFETCH(int, length);
        QFETCH(QString, first);
        QFETCH(int, second);
        QFETCH(int, third);
        QString text;
        for (int i = 0; i < length; ++i)
            text += QChar(u'あ' + i % 80);
        const QStringList lines = runErrorReport(number, text).split(u'\r');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], first);
        QCOMPARE(lines[1], text.left(second));
        QCOMPARE(lines[2], text.mid(50, third));
        QVERIFY(!runErrorReport(number, text).contains(u'\n'));
    }

    void targetFolders_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("folder");
        QTest::newRow("nested") << "/bk/mon/DATA.MDF"
                                << "/bk/mon/";
        QTest::newRow("no folder") << "DATA.MDF"
                                   << "";
        QTest::newRow("blanks trimmed") << "  /bk/a b/x  "
                                        << "/bk/a b/";
        QTest::newRow("root") << "/x"
                              << "/";
    }
    void targetFolders()
    {
        QFETCH(QString, target);
        QFETCH(QString, folder);
        QCOMPARE(targetFolder(target), folder);
    }
};

ZDB_TEST(BackupRunTest);
#include "tst_backuprun.moc"
