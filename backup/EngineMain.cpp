#include "EngineMain.h"

#include "EngineSignals.h"
#include "FileDigest.h"
#include "FileOps.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceStart.h"
#include "ServiceTexts.h"
#include "Text.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zdb {

namespace {

// After the watchdog started the service or a signal asked the run to end,
// this long for the copy to come back before the run ends without it.
constexpr int kStuckGraceMs = 10000;

bool copyThreadStuck = false;

const QString kSignalEnd = QStringLiteral("終了の指示を受けたため、処理を中止しました。");

QString downtimeLimitText(int limitMs)
{
    return QStringLiteral("エラーです。ＤＢサービスの停止時間が、上限の%1秒を超えました。").arg(limitMs / 1000) + u'\r'
        + QStringLiteral("コピーを中止して、ＤＢサービスを開始します。") + u'\r'
        + QStringLiteral("退避先と、バックアップ元のディスクを確認して下さい。");
}

QString stuckText(const ServiceStart &starter)
{
    return QStringLiteral("エラーです。ファイルの読み書きが、終わりません。") + u'\r'
        + (!starter.armed()        ? QStringLiteral("ＤＢサービスは停止していません。")
               : starter.started() ? QStringLiteral("ＤＢサービスは開始しました。")
                                   : QStringLiteral("ＤＢサービスを、開始できません。"))
        + QStringLiteral("処理を打ち切ります。") + u'\r'
        + QStringLiteral("退避先と、バックアップ元のディスクを確認して下さい。");
}

// One run's state. The engine runs on a thread of its own, so that this
// one, never waiting on a file, can start the service whatever a file call
// on a hung disk does. Where that thread never comes back, the state is left
// to it and the process ends.
struct HostRun {
    HostFileOps files;
    HostServiceManager manager;
    HostRunLock lock;
    RunRecords records{RunRecords::defaultFolder()};
    ServiceStart starter;
    EngineServices services{files, manager, lock, records, [](int ms) { QThread::msleep(ulong(ms)); }};
    BackupRequest request;
    HistoryRecord record;
    // Events go out one at a time, from either thread; none once `over`.
    std::mutex sinkMutex;
    bool over = false;
    std::atomic<bool> done{false};
    bool ok = false;
    RunFacts facts;
};

} // namespace

bool runWithHostServices(const BackupRequest &request, const BackupEngine::Sink &sink, HistoryRecord *record)
{
    catchEndingSignals();
    adoptOrphanedDescendants();
    auto run = std::make_unique<HostRun>();
    run->request = request;
    EngineServices &services = run->services;
    ServiceStart &starter = run->starter;
    services.serviceStart = &starter;
    services.abandoned = [&starter] { return endingSignalArrived() || starter.forced(); };
    services.commandTimeLimitMs = commandTimeLimitFromEnvironment();
    const int downtimeLimitMs = downtimeLimitFromEnvironment();

    HistoryRecord &r = run->record;
    r.start = QDateTime::currentDateTimeUtc();
    r.settingsNumber = request.settingsNumber;
    r.row = request.row;
    r.service = trimSpaces(request.serviceName);
    r.dataTarget = request.dataTarget;
    r.logTarget = request.logTarget;
    RunHistory history(run->records.folder());
    // Read while the lock still keeps the next run away; the service runs
    // again by then, so this costs no downtime.
    services.committed = [h = run.get()]() noexcept {
        FileDigest data, log;
        QString dataFile, logFile;
        try {
            // Where the copies went: a link at a target stays the operator's.
            dataFile = h->files.resolveTarget(h->request.dataTarget);
            logFile = h->files.resolveTarget(h->request.logTarget);
            data = digestFile(dataFile);
            log = digestFile(logFile);
        } catch (...) {
            data.error = ENOMEM;
        }
        const std::lock_guard lock(h->sinkMutex);
        h->record.dataFile = dataFile;
        h->record.logFile = logFile;
        h->record.data = data;
        h->record.log = log;
        h->record.hasLog = log.error != ENOENT; // a pair without a log copy has none
    };
    // The pair about to go is no pair any more, whatever happens next.
    services.previousRemoved = [h = run.get(), history] {
        HistoryRecord removed;
        {
            const std::lock_guard lock(h->sinkMutex);
            removed = h->record;
        }
        removed.start = removed.end = QDateTime::currentDateTimeUtc();
        removed.removed = true;
        removed.finalText = QStringLiteral("空き容量が不足するため、前回の退避ファイルを削除しました。");
        removed.messages.clear();
        return history.append(removed);
    };
    // Stands for the run until it ends: a run killed on its way still shows.
    HistoryRecord opened = r;
    opened.end = r.start;
    opened.open = true;
    nameThisRun(&opened);
    opened.finalText = QString::fromUtf8(kMsgRunCutShort);
    // Said before anything is stopped; the backup itself goes on.
    if (QString fault; !history.append(opened, &fault))
        sink(RunEvent::message(QStringLiteral("エラーです。実行の記録を書き込めません。") + u'\r' + fault));
    const auto send = [&sink, &r, h = run.get()](const RunEvent &event) {
        const std::lock_guard lock(h->sinkMutex);
        if (h->over)
            return;
        // Asked to end: the end says why.
        if (event.kind == RunEvent::Stage && event.text == QString::fromUtf8(kMsgAbnormalEnd)
            && endingSignalArrived()) {
            r.finalText = kSignalEnd;
            sink(RunEvent::stage(kSignalEnd));
        }
        if (event.kind == RunEvent::Message)
            r.messages << event.text;
        if (event.kind == RunEvent::Stage)
            r.finalText = event.text;
        sink(event);
    };

    std::thread worker([h = run.get(), send] {
        BackupEngine engine(h->services, send);
        h->ok = engine.run(h->request);
        h->facts = engine.facts();
        h->done = true; // read by the watchdog; the rest after the join
    });

    // The watchdog: the service starts once the downtime passes its limit or
    // an ending signal arrives; then, or once a signal asked the run to end
    // with the service running, the copy has a while to come back.
    // It sleeps rather than waits on a clock's deadline: a clock set
    // elsewhere (a test's, a wrong one) must not keep it from looking.
    QElapsedTimer ending;
    bool stuck = false;
    while (!run->done && !stuck) {
        QThread::msleep(50);
        const bool signalled = endingSignalArrived();
        const qint64 downFor = starter.downForMs();
        if (downFor >= 0 && (signalled || downFor >= downtimeLimitMs))
            starter.force(signalled ? QString() : downtimeLimitText(downtimeLimitMs));
        if ((signalled || starter.forced()) && !starter.commandRunning() && starter.downForMs() < 0) {
            if (!ending.isValid())
                ending.start();
            stuck = ending.hasExpired(kStuckGraceMs) && !run->done;
        }
    }

    bool ok = false;
    if (stuck) {
        // The copy's thread waits on a file call that may never return: the
        // run ends without it, its state left to it.
        {
            const std::lock_guard lock(run->sinkMutex);
            if (starter.forced())
                sink(RunEvent::restarted(starter.downtimeMs()));
            for (const QString &text : {starter.forcedReason(), stuckText(starter)}) {
                if (text.isEmpty())
                    continue;
                r.messages << text;
                sink(RunEvent::message(text));
            }
            if (endingSignalArrived())
                sink(RunEvent::stage(kSignalEnd));
            r.finalText = QString::fromUtf8(kMsgAbnormalEnd);
            sink(RunEvent::stage(r.finalText));
            sink(RunEvent::finished(false));
            run->over = true;
        }
        worker.detach();
        copyThreadStuck = true;
        r.downtimeMs = starter.downtimeMs();
        r.committed = false;
    } else {
        worker.join();
        ok = run->ok;
        r.downtimeMs = run->facts.downtimeMs;
        r.committed = run->facts.committed;
        r.noLog = run->facts.noLogSource;
    }
    r.ok = ok;
    r.end = QDateTime::currentDateTimeUtc();
    {
        const std::lock_guard lock(run->sinkMutex);
        history.append(r);
        if (record)
            *record = r;
    }
    if (stuck)
        (void)run.release(); // the stuck thread's
    return ok;
}

int endOfRun(int status)
{
    if (copyThreadStuck) {
        // Exits with the stuck thread still in its call; nothing may run
        // after this that the thread could still be using.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

int runEngineProcess()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return 2;
    const auto request = decodeRequest(in.readLine(1 << 20));
    in.close();
    if (!request)
        return 2;
    const std::unique_ptr<EventOutput> out = openEventOutput();
    RunRecords records(RunRecords::defaultFolder());
    RunRecords::Outcome outcome;
    const bool ok = runWithHostServices(*request, [&](const RunEvent &event) {
        if (event.kind == RunEvent::Message)
            outcome.messages << event.text;
        if (event.kind == RunEvent::Stage)
            outcome.finalText = event.text;
        // Kept before the window hears of the end; the window forgets it once shown.
        if (event.kind == RunEvent::Finished)
            records.keepOutcome(outcome);
        out->write(event);
    });
    out->finish();
    return endOfRun(ok ? 0 : 1);
}

} // namespace zdb
