#include "BackupEngine.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "RunHistory.h"
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
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    RunFacts facts;
    QStringList committed; // what each committed() call saw

    explicit Rig(SystemCalls calls = SystemCalls::host()) : files(std::move(calls))
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
        services.committed = [this] {
            HostRunLock other{dir.filePath(QStringLiteral("run.lock"))};
            committed << QString::fromUtf8(readFile(request.dataTarget))
                    + (other.tryAcquire(QStringLiteral("db")) ? QStringLiteral(" unlocked") : QString());
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
        facts = engine.facts();
        return journal;
    }
};

QString box(const QString &text) { return QStringLiteral("box: ") + text; }

// A change of a name in a backup folder, as the run made it.
struct NameOp {
    enum Kind { Create, Rename, Unlink, Sync } kind;
    QString a, b; // paths; Sync: the folder
    ino_t inode = 0; // the file it names
};

// Records every change of a name through the file seam, and can fail the
// n-th folder flush. Files keep their inode across renames, so the replay
// below follows files, and reads their (flushed) bytes by inode.
struct Recorder {
    QList<NameOp> ops;
    QHash<ino_t, QByteArray> bytes;
    QStringList folders; // recorded; other folders (state, lock) are not
    int failSync = -1, syncs = 0;

    bool ours(const QString &path) const
    {
        return std::any_of(folders.begin(), folders.end(), [&](const QString &f) { return path.startsWith(f); });
    }
    static ino_t inodeOf(const char *path)
    {
        struct stat st {};
        return ::lstat(path, &st) == 0 ? st.st_ino : 0;
    }
    // The names there now, each file's bytes kept.
    QHash<QString, ino_t> scan()
    {
        QHash<QString, ino_t> names;
        for (const QString &f : std::as_const(folders))
            for (const QFileInfo &i : QDir(f).entryInfoList(QDir::Files | QDir::Hidden)) {
                names[i.filePath()] = inodeOf(QFile::encodeName(i.filePath()).constData());
                bytes[names[i.filePath()]] = readFile(i.filePath());
            }
        return names;
    }
    SystemCalls calls()
    {
        SystemCalls c = SystemCalls::host();
        c.makeTemp = [this](char *t) {
            const int fd = ::mkostemp(t, O_CLOEXEC);
            if (fd >= 0 && ours(QFile::decodeName(t)))
                ops.append({NameOp::Create, QFile::decodeName(t), {}, inodeOf(t)});
            return fd;
        };
        c.rename = [this](const char *from, const char *to) {
            scan();
            const ino_t inode = inodeOf(from);
            const int r = ::rename(from, to);
            if (r == 0 && ours(QFile::decodeName(from)))
                ops.append({NameOp::Rename, QFile::decodeName(from), QFile::decodeName(to), inode});
            return r;
        };
        c.unlink = [this](const char *path) {
            const ino_t inode = inodeOf(path);
            const int r = ::unlink(path);
            if (r == 0 && ours(QFile::decodeName(path)))
                ops.append({NameOp::Unlink, QFile::decodeName(path), {}, inode});
            return r;
        };
        c.syncFolder = [this](int fd) {
            const QString folder = QFile::decodeName(
                QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + QString::number(fd)).toUtf8());
            if (ours(folder + u'/') && syncs++ == failSync) {
                errno = EIO;
                return -1;
            }
            if (ours(folder + u'/'))
                ops.append({NameOp::Sync, folder + u'/', {}});
            return ::fsync(fd);
        };
        return c;
    }
};

// The names a crash leaves: the first `crashAt` operations, less those in
// `lost` (a subset of the ones not yet flushed). An operation on a file the
// loss took away, or put elsewhere, does nothing.
QHash<QString, ino_t> replay(QHash<QString, ino_t> names, const QList<NameOp> &ops, qsizetype crashAt,
                             const QList<qsizetype> &lost)
{
    for (qsizetype i = 0; i < crashAt; ++i) {
        const NameOp &op = ops[i];
        if (lost.contains(i) || (op.kind != NameOp::Create && op.kind != NameOp::Sync && names.value(op.a) != op.inode))
            continue;
        if (op.kind == NameOp::Create)
            names[op.a] = op.inode;
        if (op.kind == NameOp::Rename)
            names[op.b] = names.take(op.a);
        if (op.kind == NameOp::Unlink)
            names.remove(op.a);
    }
    return names;
}

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
        const QString p = QStringLiteral("事前コピー中です... 退避先:");
        const QString c = QStringLiteral("コピー中です... 退避先:"); // the target written once the service runs
        const QString ok = QString::fromUtf8(kMsgNormalEnd), failed = QString::fromUtf8(kMsgAbnormalEnd);
        Rig r; // the paths' folder differs per rig: the row compares by prefix
        QTest::newRow("stop fails") << QList<int>{2} << QString() << true
                                    << QStringList{p, p, kStop, box(stopFailureText()), failed} << false << false;
        QTest::newRow("pre-copy fails") << QList<int>{} << "precopy:D.MDF:61" << true
                                        << QStringList{p, box(report(61)), failed} << false << false;
        QTest::newRow("copy fails") << QList<int>{} << "stage:D.MDF:61" << true
                                    << QStringList{p,      p,          kStop,           s1,    restart,
                                                   kStart, kRestarted, box(report(61)), failed}
                                    << false << false;
        QTest::newRow("no log source") << QList<int>{} << QString() << false
                                       << QStringList{p,          kStop,       s1, s2,  restart, kStart,
                                                      kRestarted, box(kNoLog), c,  "3", ok}
                                       << true << false;
        QTest::newRow("copy differs on disk")
            << QList<int>{} << "corrupt:L.LDF:0" << true
            << QStringList{p,
                           p,
                           kStop,
                           s1,
                           s2,
                           restart,
                           kStart,
                           kRestarted,
                           c,
                           c,
                           "3",
                           "3",
                           box(runErrorReport(57, QStringLiteral("退避したファイルが、元のファイルと一致しません。"))),
                           failed}
            << false << false;
        QTest::newRow("start fails") << QList<int>{0, 1} << QString() << true
                                     << QStringList{p,      p,          kStop,
                                                    s1,     s2,         restart,
                                                    kStart, kRestarted, box(startFailureText()),
                                                    c,      c,          "3",
                                                    "3",    failed}
                                     << true << true;
        QTest::newRow("stop hangs")
            << QList<int>{kHangs} << QString() << true
            << QStringList{p, p, kStop, restart, kStart, kRestarted, box(stopTimedOutText()), failed} << false << false;
        QTest::newRow("start hangs") << QList<int>{0, kHangs} << QString() << true
                                     << QStringList{p,      p,          kStop,
                                                    s1,     s2,         restart,
                                                    kStart, kRestarted, box(startTimedOutText()),
                                                    c,      c,          "3",
                                                    "3",    failed}
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
        // The history's facts: the pair as it stands, still locked; downtime once stopped.
        QCOMPARE(r.facts.committed, newPair);
        QCOMPARE(r.committed, newPair ? QStringList{QStringLiteral("new data")} : QStringList{});
        QCOMPARE(r.facts.downtimeMs >= 0, journal.contains(kStart));
    }

    // The copy made before the stop is brought up to the source as the stop
    // left it; one that was touched meanwhile is not trusted: the run fails
    // and the previous pair stays.
    void pairIsTheSourcesAtTheStop_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("blocks changed") << "blocks" << true;
        QTest::newRow("source grew") << "grow" << true;
        QTest::newRow("source shrank") << "shrink" << true;
        QTest::newRow("staged copy changed") << "staged changed" << false;
        QTest::newRow("staged copy gone") << "staged gone" << false;
    }
    void pairIsTheSourcesAtTheStop()
    {
        QFETCH(QString, change);
        QFETCH(bool, trusted);
        Rig r;
        QByteArray data(int(5 * kDeltaBlock + 123), '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 / 3);
        writeFile(r.request.dataSource, data);
        QByteArray atStop;
        r.manager.whileRunning = [&](const QString &line) {
            if (line != kStop)
                return;
            QByteArray now = data;
            now[int(kDeltaBlock + 5)] = 'x'; // one block differs in every case
            if (change == "grow")
                now += QByteArray(int(kDeltaBlock), 'g');
            if (change == "shrink")
                now.chop(int(2 * kDeltaBlock));
            writeFile(r.request.dataSource, now);
            atStop = now;
            const QStringList staged =
                QDir(r.path("bk")).entryList({QStringLiteral(".D.MDF.zdbtmp-*")}, QDir::Files | QDir::Hidden);
            QCOMPARE(staged.size(), 1);
            const QString path = r.path("bk/") + staged.first();
            if (change == "staged changed") {
                QFile f(path);
                QVERIFY(f.open(QIODevice::ReadWrite));
                f.seek(3 * kDeltaBlock);
                f.putChar('z');
            }
            if (change == "staged gone")
                QVERIFY(QFile::remove(path));
        };
        r.run();
        QVERIFY2(r.ok == trusted, qPrintable(r.journal.join(u'|')));
        QVERIFY(readFile(r.request.dataTarget) == (trusted ? atStop : QByteArray("old data")));
        QCOMPARE(readFile(r.request.logTarget), trusted ? QByteArray("new log") : QByteArray("old log"));
        QCOMPARE(QDir(r.path("bk")).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // What would fail the copy is found before anything is stopped.
    void refusedBeforeTheStop_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("box");
        const QString sameFile =
            QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。\r退避先を確認して下さい。");
        QTest::newRow("data source missing") << "no source" << report(53);
        QTest::newRow("data source is a folder")
            << "source folder"
            << runErrorReport(75, errorText(75) + QStringLiteral("通常のファイルではありません：\r"));
        QTest::newRow("target is a folder") << "target folder" << report(75);
        QTest::newRow("target folder under a file") << "folder under file" << report(76);
        QTest::newRow("name with a blank") << "name my db" << badServiceNameText();
        QTest::newRow("name with a tab") << "name my\tdb" << badServiceNameText();
        QTest::newRow("name like an option") << "name --all" << badServiceNameText();
        QTest::newRow("no targets") << "no targets"
                                    << QStringLiteral(
                                           "エラーです。退避先が、指定されていません。\r退避先を確認して下さい。");
        QTest::newRow("same targets") << "same targets" << sameFile;
        // Made by another user after the first look, while the room is measured.
        QTest::newRow("folder taken after the first look")
            << "taken"
            << QStringLiteral("エラーです。退避先のフォルダーが、他のユーザーのものです。\r退避先を確認して下さい。\r");
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
            box += q.dataSource; // named
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
        const QString theirs = r.path("shared/theirs");
        if (change == "taken") {
            if (::geteuid() != 0)
                QSKIP("needs root to give a folder to another user");
            QVERIFY(QDir().mkpath(r.path("shared"))
                    && ::chmod(QFile::encodeName(r.path("shared")).constData(), 01777) == 0);
            q.logTarget = theirs + QStringLiteral("/L.LDF");
            r.files.space = [&](const QString &) { // the box below tells that this worked
                if (QDir().mkpath(theirs))
                    ::chown(QFile::encodeName(theirs).constData(), 65534, 65534);
                return FreeSpace{};
            };
            box += theirs;
        }
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
        r.abandonAfterProgress = 4; // past the two pre-copies' start and end
        const QStringList got = r.run();
        QCOMPARE(r.manager.calls, (QStringList{kStop, kStart}));
        QCOMPARE(got.last(), QString::fromUtf8(kMsgAbnormalEnd));
        QVERIFY(!r.ok);
        QCOMPARE(readFile(r.request.dataTarget), QByteArray("old data"));
        QCOMPARE(QDir(r.path("bk")).entryList(QDir::Files | QDir::Hidden).size(), 2);
        QVERIFY(r.records.servicesMarkedDown().isEmpty());
    }

    // For every point a crash may cut the run, and every set of its not yet
    // flushed changes that the crash may lose, recovery leaves each target
    // with the previous pair or the new one, never one of each, and a run
    // that said it succeeded never loses its new pair. Folder flushes fail
    // one at a time as well.
    void crashConsistency_data()
    {
        QTest::addColumn<QString>("before"); // the row before the run
        QTest::newRow("previous pair") << "pair";
        QTest::newRow("no previous pair") << "none";
        QTest::newRow("no log source") << "no log";
    }
    void crashConsistency()
    {
        QFETCH(QString, before);
        qsizetype states = 0;
        for (int failSync = -1;; ++failSync) {
            Recorder rec;
            Rig r(rec.calls());
            r.request.logTarget = r.path("bk2/L.LDF");
            QFile::remove(r.path("bk/L.LDF"));
            writeFile(r.request.logTarget, "old log");
            if (before == "none") {
                QFile::remove(r.request.dataTarget);
                QFile::remove(r.request.logTarget);
            }
            if (before == "no log")
                QFile::remove(r.request.logSource);
            rec.folders = QStringList{r.path("bk/"), r.path("bk2/")};
            const QHash<QString, ino_t> start = rec.scan();
            rec.failSync = failSync;
            r.run();
            rec.scan();
            const QByteArray oldData = before == "none" ? QByteArray("<missing>") : QByteArray("old data");
            const QByteArray oldLog = before == "none" ? QByteArray("<missing>") : QByteArray("old log");
            const QByteArray newLog = before == "no log" ? QByteArray("<missing>") : QByteArray("new log");

            for (qsizetype crashAt = 0; crashAt <= rec.ops.size(); ++crashAt) {
                QList<qsizetype> open; // not flushed at the crash: no flush of its folder since
                QStringList flushed;
                for (qsizetype i = crashAt - 1; i >= 0; --i) {
                    const NameOp &op = rec.ops[i];
                    if (op.kind == NameOp::Sync)
                        flushed << op.a;
                    else if (!flushed.contains(op.a.left(op.a.lastIndexOf(u'/') + 1)))
                        open << i;
                }
                QVERIFY2(open.size() <= 12, "too many changes in flight");
                for (quint32 mask = 0; mask < (1u << open.size()); ++mask) {
                    QList<qsizetype> lost;
                    for (qsizetype b = 0; b < open.size(); ++b)
                        if (mask & (1u << b))
                            lost << open[b];
                    const QHash<QString, ino_t> names = replay(start, rec.ops, crashAt, lost);
                    // The state as the disk holds it, in a fresh folder (one
                    // previous copy a side at most: their order is no matter).
                    QTemporaryDir disk;
                    for (auto it = names.begin(); it != names.end(); ++it)
                        QVERIFY(
                            writeFile(disk.path() + it.key().mid(r.dir.path().size()), rec.bytes.value(it.value())));
                    const QString data = disk.filePath(QStringLiteral("bk/D.MDF"));
                    const QString log = disk.filePath(QStringLiteral("bk2/L.LDF"));
                    HostFileOps().recoverInterrupted(data, log);
                    const std::pair<QByteArray, QByteArray> got{readFile(data), readFile(log)};
                    const bool isOld = got == std::pair{oldData, oldLog};
                    const bool isNew = got == std::pair{QByteArray("new data"), newLog};
                    // Where no pair stood, a new data copy that arrived is kept.
                    const bool keptAlone = before == "none" && got.first == "new data" && got.second == oldLog;
                    const QString said = QStringLiteral("flush %1 failed, crash after %2 of %3, lost %4: %5 / %6")
                                             .arg(failSync)
                                             .arg(crashAt)
                                             .arg(rec.ops.size())
                                             .arg(lost.size())
                                             .arg(QString::fromUtf8(got.first), QString::fromUtf8(got.second));
                    QVERIFY2(isOld || isNew || keptAlone, qPrintable(said));
                    if (crashAt == rec.ops.size() && r.ok)
                        QVERIFY2(isNew, qPrintable(said));
                    ++states;
                }
            }
            if (failSync >= rec.syncs)
                break; // every flush has failed once
        }
        qInfo("crash states checked: %lld", qlonglong(states));
    }

    // A start that could not be launched and worked on its retry: no
    // failure is told, and the run ends as it went.
    void startThatWorksOnItsRetry()
    {
        Rig r;
        r.manager.failToStartOnce << kStart;
        const QStringList got = r.run();
        QVERIFY2(r.ok, qPrintable(got.join(u'|')));
        QVERIFY(std::none_of(got.begin(), got.end(), [](const QString &line) { return line.startsWith("box: "); }));
        QCOMPARE(r.manager.calls.count(kStart), 2);
        QCOMPARE(readFile(r.request.dataTarget), QByteArray("new data"));
    }

    void secondRunOfTheServiceIsRefused()
    {
        Rig r;
        HostRunLock other(r.dir.filePath(QStringLiteral("run.lock")));
        QVERIFY(other.tryAcquire(QStringLiteral("db")));
        const QStringList got = r.run();
        QCOMPARE(got.first(),
                 box(QStringLiteral("エラーです。他のバックアップ処理が実行中です。\r"
                                    "しばらく待ってから、もう一度実行して下さい。")));
        QVERIFY(r.manager.calls.isEmpty());
    }

    void eventsCrossThePipeUnchanged()
    {
        const RunEvent events[] = {RunEvent::stage(QStringLiteral("1.処理中です... 退避先:/b/\"x\"\r")),
                                   RunEvent::progress(5'000'000'000, 6'000'000'000),
                                   RunEvent::message(stopFailureText()), RunEvent::restarted(1234),
                                   RunEvent::finished(true)};
        for (const RunEvent &e : events) {
            const QByteArray line = encodeEvent(e);
            QCOMPARE(line.count('\n'), 1);
            QCOMPARE(decodeEvent(line), std::optional<RunEvent>(e));
        }
        const BackupRequest q{QStringLiteral("db"), "a", "b", "c", "d", {"e", "f"}, QStringLiteral("3"), 7};
        QCOMPARE(decodeRequest(encodeRequest(q)), std::optional<BackupRequest>(q));
        QVERIFY(!decodeEvent("garbage"));
    }

    // Past its bound the history turns into one older file; both are read.
    void historyStaysBounded()
    {
        QTemporaryDir dir;
        const RunHistory history(dir.path());
        HistoryRecord r;
        r.start = r.end = QDateTime::currentDateTimeUtc();
        r.committed = true;
        r.data.size = 200'000 * FileDigest::kBlock; // 3.2 MB of MiB digests a line
        r.data.blocks.assign(200'000, 0x0123456789abcdefULL);
        for (r.row = 0; r.row < 12; ++r.row)
            QVERIFY(history.append(r));
        const qint64 most = RunHistory::kBoundBytes + r.toLine().size();
        QVERIFY(QFileInfo(history.path()).size() <= most);
        QVERIFY(QFileInfo(history.path() + QStringLiteral(".1")).size() <= most);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 QStringList({"history.jsonl", "history.jsonl.1", "history.jsonl.lock"}));
        const QList<HistoryRecord> read = history.read();
        QVERIFY(read.size() >= 5);
        QCOMPARE(read.last().row, 11);
        QCOMPARE(read.last().data.blocks, r.data.blocks);
    }

    // An open record is a run still going only while its very process runs.
    void openRecordStandsForARunStillGoing()
    {
        HistoryRecord run;
        run.open = true;
        nameThisRun(&run);
        QVERIFY(runStillGoing(run));
        run.pidStart += 1; // the same number, another process
        QVERIFY(!runStillGoing(run));
        run.pidStart -= 1;
        run.bootId = QStringLiteral("another boot");
        QVERIFY(!runStillGoing(run));
        run.pid = 0x7ffffff0; // no such process: the run was killed
        QVERIFY(!runStillGoing(run));
    }
};

ZDB_TEST(EngineTest);
#include "tst_engine.moc"
