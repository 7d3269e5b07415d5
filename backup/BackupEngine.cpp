#include "BackupEngine.h"

#include "FileOps.h"
#include "PlatformError.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceStart.h"
#include "ServiceTexts.h"
#include "Text.h"

#include <QElapsedTimer>

#include <algorithm>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace zdb {

namespace {

constexpr quint64 kMegabyte = 1048576;
// The bar moves at most five times a second: the window's repaints compete
// with the copy for the processor while the service is down.
constexpr qint64 kProgressIntervalMs = 200;

const QString kCopyDiffers = QStringLiteral("退避したファイルが、元のファイルと一致しません。");

// Thrown from a copy's progress once a signal has asked the run to end.
struct Abandoned {};

QString targetMistake(const QString &what) { return what + u'\r' + QStringLiteral("退避先を確認して下さい。"); }

quint64 megabytesUp(quint64 bytes) { return bytes / kMegabyte + (bytes % kMegabyte != 0); }
quint64 megabytesDown(quint64 bytes) { return bytes / kMegabyte; }

// Any failure as a catalogue error, so that every one can be reported.
template <class F>
std::optional<PlatformError> failureOf(F &&step)
{
    try {
        step();
    } catch (const PlatformError &e) {
        return e;
    } catch (const std::bad_alloc &) {
        return PlatformError(7);
    } catch (const std::exception &) {
        return PlatformError(kErrInternal);
    }
    return std::nullopt;
}

// Whether the new pair fits where its targets lie (both copies counted where
// they share a file system). Where it fits only once the row's previous copies
// are gone, they go first, as a backup without staging always did; only what
// cannot fit even then is refused.
struct SpacePlan {
    QString refusal;
    bool previousFirst = false;
};

SpacePlan planSpace(FileOps &files, const BackupRequest &r)
{
    struct Need {
        FreeSpace space;
        quint64 bytes = 0, reclaimable = 0;
    };
    std::vector<Need> needs;
    const auto add = [&](const QString &source, const QString &target) {
        const qint64 size = files.fileSize(source);
        const FreeSpace space = files.freeSpace(target);
        if (!space.known)
            return;
        const qint64 previous = files.fileSize(target);
        auto n =
            std::find_if(needs.begin(), needs.end(), [&](const Need &x) { return x.space.device == space.device; });
        if (n == needs.end())
            n = needs.insert(needs.end(), Need{space});
        n->bytes += quint64(std::max<qint64>(size, 0));
        n->reclaimable += quint64(std::max<qint64>(previous, 0));
    };
    add(r.dataSource, r.dataTarget);
    add(r.logSource, r.logTarget);
    SpacePlan plan;
    for (const Need &n : needs) {
        if (n.bytes <= n.space.available)
            continue;
        if (n.bytes <= n.space.available + n.reclaimable) {
            plan.previousFirst = true;
            continue;
        }
        plan.refusal = QStringLiteral("エラーです。退避先の空き容量が不足しています。") + u'\r'
            + QStringLiteral("退避先の空き容量を確認して下さい。") + u'\r'
            + QStringLiteral("必要な容量は%1MB、空き容量は%2MB（前回の退避ファイルを含めて）です。")
                  .arg(megabytesUp(n.bytes))
                  .arg(megabytesDown(n.space.available + n.reclaimable));
        return plan;
    }
    return plan;
}

// The new pair, staged beside its targets, goes into place only as a whole:
// until commit() has finished, destruction puts the previous pair back and
// removes every staged copy.
class PairCommit {
public:
    explicit PairCommit(FileOps &files) : f_(files) {}
    // Previous copies are never removed here: one that could not go back
    // may be the only good copy, and recovery tells.
    ~PairCommit()
    {
        if (!done_)
            rollBack();
        f_.discard(data.path);
        f_.discard(log.path);
    }
    PairCommit(const PairCommit &) = delete;
    PairCommit &operator=(const PairCommit &) = delete;

    StagedCopy data, log; // log.path "" : no log copy to put in place
    bool staged = false; // both copies made

    // Throws where the new pair is not sure to stand on disk alone.
    void commit(const QString &dataTarget, const QString &logTarget)
    {
        dataTarget_ = dataTarget;
        logTarget_ = logTarget;
        try {
            previousData_ = f_.swapIntoPlace(data.path, dataTarget);
            dataSwapped_ = true;
            // Without a log source no log may stand beside the new data file.
            previousLog_ = log.path.isEmpty() ? f_.moveAside(logTarget) : f_.swapIntoPlace(log.path, logTarget);
            logMoved_ = true;
        } catch (const SwapStands &e) {
            // It stands unflushed: the destructor tries to undo it.
            if (!dataSwapped_) {
                dataSwapped_ = true;
                previousData_ = e.previous;
            } else {
                logMoved_ = true;
                previousLog_ = e.previous;
            }
            throw;
        }
        done_ = true;
        // The data side's previous copy goes first, each removal on disk
        // before the next: recovery reads a data side's previous copy
        // without the log side's as a commit cut short.
        f_.removeFlushed(std::exchange(previousData_, {}));
        f_.removeFlushed(std::exchange(previousLog_, {}));
    }

private:
    void rollBack() noexcept
    {
        try {
            if (logMoved_) {
                if (log.path.isEmpty())
                    f_.moveBack(previousLog_, logTarget_);
                else
                    f_.swapBack(log.path, previousLog_, logTarget_);
                previousLog_.clear();
            }
        } catch (...) {
            previousLog_.clear(); // what could not go back is the previous copy: keep it
        }
        try {
            if (dataSwapped_)
                f_.swapBack(data.path, previousData_, dataTarget_);
            previousData_.clear();
        } catch (...) {
            previousData_.clear();
        }
    }

    FileOps &f_;
    QString dataTarget_, logTarget_, previousData_, previousLog_;
    bool dataSwapped_ = false, logMoved_ = false, done_ = false;
};

// The pre-copies not yet handed to the pair go with the run.
struct PreCopies {
    explicit PreCopies(FileOps &f) : files(f) {}
    PreCopies(const PreCopies &) = delete;
    PreCopies &operator=(const PreCopies &) = delete;
    FileOps &files;
    PreCopy data, log;
    ~PreCopies()
    {
        files.discard(data.path);
        files.discard(log.path);
    }
};

// What was staged beside the sources (clones, whole copies, spilled
// blocks) goes at the end of the run, whatever happened.
struct Beside {
    explicit Beside(FileOps &f) : files(f) {}
    Beside(const Beside &) = delete;
    Beside &operator=(const Beside &) = delete;
    FileOps &files;
    QString data, log; // clones or whole copies, copied to the targets after the start
    std::optional<ChangedBlocks> dataChanges, logChanges; // written into the pre-copies after the start
    ~Beside()
    {
        files.discard(data);
        files.discard(log);
        for (const auto *c : {&dataChanges, &logChanges})
            if (*c)
                files.discard((*c)->spill);
    }
};

// Where what is copied while the service is down goes.
enum class Staging {
    Target, // beside the targets, as a last resort: the sources' file system has no room
    Clones, // clones beside the sources, sharing their blocks
    BesideSources, // changed blocks (or whole copies) off the target, in memory or beside the sources
};

} // namespace

int commandTimeLimitFromEnvironment()
{
    bool ok = false;
    const qint64 seconds = qEnvironmentVariable("ZDB_COMMAND_TIMEOUT").trimmed().toLongLong(&ok);
    if (!ok || seconds <= 0)
        return 10 * 60 * 1000;
    return int(std::min<qint64>(seconds, qint64(24) * 3600) * 1000);
}

int downtimeLimitFromEnvironment()
{
    bool ok = false;
    const qint64 seconds = qEnvironmentVariable("ZDB_DOWNTIME_LIMIT").trimmed().toLongLong(&ok);
    if (!ok || seconds <= 0)
        return 30 * 60 * 1000;
    return int(std::min<qint64>(seconds, qint64(24) * 3600) * 1000);
}

struct BackupEngine::Impl {
    EngineServices &s;
    const Sink &send;
    BackupRequest r; // targets as written to: a link's destination
    QString shownData, shownLog; // targets as the operator typed them
    QString service; // as typed, trimmed: what the service manager is given
    QString unit; // the name its lock and mark go by
    QStringList deferred; // boxes that wait until the service runs again
    RunFacts &facts;
    ServiceStart &starter;
    bool previousFirst = false; // the new pair fits only in the previous pair's room
    bool previousGone = false;
    Staging staging = Staging::Target;
    QStringList startTexts; // the start's boxes, from whichever thread started it

    void stage(const QString &text) { send(RunEvent::stage(text)); }
    void message(const QString &text) { send(RunEvent::message(text)); }
    void report(const PlatformError &e) { message(runErrorReport(e.number(), e.text())); }
    bool fail(const QString &text)
    {
        message(text);
        stage(QString::fromUtf8(kMsgAbnormalEnd));
        return false;
    }
    bool failReport(const PlatformError &e) { return fail(runErrorReport(e.number(), e.text())); }

    Progress progress()
    {
        auto since = std::make_shared<QElapsedTimer>();
        since->start();
        return [this, since](qint64 done, qint64 total) {
            if (s.abandoned())
                throw Abandoned{};
            if (done == 0 || done >= total || since->elapsed() >= kProgressIntervalMs) {
                send(RunEvent::progress(done, total));
                since->restart();
            }
        };
    }

    // The checks before anything is stopped: a refusal text, "" to go on.
    QString refusal()
    {
        FileOps &f = s.files;
        if (!serviceNameIsValid(service))
            return badServiceNameText();
        if (trimSpaces(r.dataTarget).isEmpty() || trimSpaces(r.logTarget).isEmpty())
            return targetMistake(QStringLiteral("エラーです。退避先が、指定されていません。"));
        if (f.sameFile(r.dataTarget, r.dataSource) || f.sameFile(r.dataTarget, r.logSource)
            || f.sameFile(r.logTarget, r.dataSource) || f.sameFile(r.logTarget, r.logSource))
            return targetMistake(
                QStringLiteral("エラーです。退避先に、バックアップ元のDBファイルが指定されています。"));
        if (f.sameFile(r.dataTarget, r.logTarget))
            return targetMistake(QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。"));
        // As typed: a link planted at the target itself counts too.
        for (const QString &target : {shownData, shownLog}) {
            const QString foreign = f.foreignFolder(target);
            if (!foreign.isEmpty())
                return foreignFolderText(foreign);
        }
        return {};
    }

    static QString foreignFolderText(const QString &folder)
    {
        return targetMistake(QStringLiteral("エラーです。退避先のフォルダーが、他のユーザーのものです。")) + u'\r'
            + folder;
    }

    // Every row's pair is made whole before anything is stopped, so that no
    // row keeps a commit cut short until its day comes round. False where
    // the selected row's could not be.
    bool recoverRows()
    {
        FileOps &f = s.files;
        bool selected = f.recoverInterrupted(r.dataTarget, r.logTarget);
        for (qsizetype i = 0; i + 1 < r.allTargets.size(); i += 2) {
            const QString &data = r.allTargets[i], &log = r.allTargets[i + 1];
            if (data == shownData && log == shownLog)
                continue;
            failureOf([&] {
                const QString d = data.isEmpty() ? QString() : f.resolveTarget(data);
                const QString l = log.isEmpty() ? QString() : f.resolveTarget(log);
                if (!d.isEmpty() && !l.isEmpty())
                    f.recoverInterrupted(d, l);
                else
                    f.removeLeftovers(d.isEmpty() ? l : d);
            });
        }
        return selected;
    }

    ServiceResult change(bool stop)
    {
        s.manager.setTimeLimit(s.commandTimeLimitMs);
        return stop ? s.manager.stop(service) : s.manager.start(service);
    }

    // The start itself; it runs once, here or on the watchdog's thread.
    bool startSequence()
    {
        stage(QStringLiteral("SQLServer開始処理中です... "));
        ServiceResult started = change(false);
        // A start that cannot be started is tried once more; where that
        // works, nothing failed.
        const bool relaunched = started.kind == ServiceResult::NotLaunched;
        if (relaunched)
            started = change(false);
        if (started.ok()) {
            s.records.clearServiceDown(unit);
        } else {
            if (relaunched)
                startTexts << runErrorReport(kErrFileNotFound, errorText(kErrFileNotFound));
            startTexts << (started.kind == ServiceResult::TimedOut ? startTimedOutText() : startFailureText());
        }
        return started.ok();
    }

    // The start (unless the watchdog made it) and the settling wait. The
    // mark goes once the service has been started.
    bool restart()
    {
        const bool ok = starter.run();
        facts.downtimeMs = starter.downtimeMs();
        if (const QString why = starter.forcedReason(); !why.isEmpty())
            deferred.prepend(why);
        deferred << startTexts;
        for (QElapsedTimer waited; !waited.isValid() || waited.elapsed() < s.restartWaitMs;) {
            if (!waited.isValid())
                waited.start();
            s.sleep(int(std::min<qint64>(50, s.restartWaitMs - waited.elapsed())));
        }
        send(RunEvent::restarted(facts.downtimeMs));
        return ok;
    }

    // A stop that did not end well: the service's state, not the command's
    // word, says whether it is down. "" when it surely never stopped (the
    // stop-failure box), else the box to show once it has been started.
    QString stopGoneWrong(const ServiceResult &stopped)
    {
        // Ended at its limit or killed: the stop may still go on in the
        // manager, and a start cancels it.
        if (stopped.kind == ServiceResult::TimedOut)
            return stopTimedOutText();
        if (stopped.status == -1)
            return stopFailureText();
        switch (s.manager.state(service)) {
        case ServiceState::Running:
        case ServiceState::Missing: return {};
        case ServiceState::Stopped: return stopUnfinishedText();
        case ServiceState::Unknown: break;
        }
        return stopFailureText();
    }

    // Whether the sources are cloned at the stop rather than copied: their
    // file system clones, and keeps room for the database to rewrite all of
    // both while the clones share their blocks.
    bool snapshotsFit()
    {
        FileOps &f = s.files;
        if (!roomBesideSources())
            return false;
        for (const QString &source : sources()) {
            QString probe;
            failureOf([&] { probe = f.snapshot(source); });
            if (probe.isEmpty())
                return false;
            f.discard(probe);
        }
        return true;
    }

    QStringList sources()
    {
        QStringList list{r.dataSource};
        if (s.files.fileSize(r.logSource) >= 0)
            list << r.logSource;
        return list;
    }

    // Whether the sources' file systems hold both files a second time.
    bool roomBesideSources()
    {
        FileOps &f = s.files;
        quint64 total = 0;
        for (const QString &source : sources())
            total += quint64(std::max<qint64>(0, f.fileSize(source)));
        for (const QString &source : sources()) {
            const FreeSpace room = f.freeSpace(source);
            if (!room.known || room.available < total)
                return false;
        }
        return true;
    }

    // Before the stop, while the database runs: the copies staged beside
    // their targets, so that only what changes until the stop is written.
    void preCopies(PreCopies &pre)
    {
        pre.data = preCopy(r.dataSource, r.dataTarget, shownData);
        // Whether the log is there counts at the stop; a missing one is no failure yet.
        if (s.files.fileSize(r.logSource) >= 0)
            pre.log = preCopy(r.logSource, r.logTarget, shownLog);
    }

    // Said once the copy has begun: a source the running database holds
    // is left for the downtime, and no pre-copy of it is shown.
    PreCopy preCopy(const QString &source, const QString &target, const QString &shown)
    {
        const Progress bar = progress();
        bool begun = false;
        const auto say = [&] {
            if (!std::exchange(begun, true))
                stage(QStringLiteral("事前コピー中です... 退避先:") + shown);
        };
        try {
            return s.files.preCopy(source, target, [&](qint64 done, qint64 total) {
                say();
                bar(done, total);
            });
        } catch (const PlatformError &) {
            say(); // the failure is the pre-copy's: its target is named first
            throw;
        }
    }

    // The room-for-one-pair mode: the previous pair goes before the new one
    // exists, and the history says so first.
    void removePrevious()
    {
        if (std::exchange(previousGone, true))
            return;
        stage(QStringLiteral("空き容量が不足するため、前回の退避ファイルを削除しました。"));
        if (!s.previousRemoved())
            throw PlatformError(kErrWriteProtected,
                                QStringLiteral("履歴に、前回の退避ファイルの削除を記録できません。"));
        s.files.removeFlushed(r.dataTarget);
        s.files.removeFlushed(r.logTarget);
    }

    // While the service is down: what the copy needs of the sources, kept
    // off the target where their file system has room.
    void copyPhase(PairCommit &pair, PreCopies &pre, Beside &beside)
    {
        if (previousFirst && staging == Staging::Target)
            removePrevious();
        stage(QStringLiteral("1.処理中です... 退避先:") + shownData);
        stageOne(r.dataSource, r.dataTarget, pre.data, pair.data, beside.data, beside.dataChanges);
        stage(QStringLiteral("2.処理中です... 退避先:") + shownLog);
        if (s.files.fileExists(r.logSource))
            stageOne(r.logSource, r.logTarget, pre.log, pair.log, beside.log, beside.logChanges);
        else {
            deferred << QStringLiteral("DBログファイルなし");
            facts.noLogSource = true;
        }
        pair.staged = true;
    }

    void stageOne(const QString &source, const QString &target, PreCopy &pre, StagedCopy &copy, QString &besideCopy,
                  std::optional<ChangedBlocks> &changes)
    {
        FileOps &f = s.files;
        if (staging == Staging::Clones) {
            besideCopy = f.snapshot(source);
        } else if (staging == Staging::BesideSources && pre.path.isEmpty()) {
            besideCopy = f.copyBeside(source, progress());
        } else if (staging == Staging::BesideSources) {
            changes = f.captureChanges(source, pre, progress());
            return;
        }
        if (!besideCopy.isEmpty())
            return;
        if (previousFirst)
            removePrevious();
        copy = f.finishCopy(source, target, pre, progress());
        pre.path.clear(); // now the staged copy's
    }

    // With the database running again: the copies beside the sources copied
    // to their targets, the changed blocks written into the pre-copies.
    void copyToTargets(PairCommit &pair, PreCopies &pre, const Beside &beside)
    {
        if (previousFirst)
            removePrevious();
        const QString *shown[] = {&shownData, &shownLog};
        const QString targets[] = {r.dataTarget, r.logTarget};
        StagedCopy *copies[] = {&pair.data, &pair.log};
        const QString *whole[] = {&beside.data, &beside.log};
        for (int i = 0; i < 2; ++i) {
            if (whole[i]->isEmpty())
                continue;
            stage(QStringLiteral("コピー中です... 退避先:") + *shown[i]);
            *copies[i] = s.files.stageCopy(*whole[i], targets[i], progress());
        }
        const std::optional<ChangedBlocks> *changes[] = {&beside.dataChanges, &beside.logChanges};
        PreCopy *pres[] = {&pre.data, &pre.log};
        for (int i = 0; i < 2; ++i) {
            if (!*changes[i])
                continue;
            stage(QStringLiteral("コピー中です... 退避先:") + *shown[i]);
            *copies[i] = s.files.applyChanges(*pres[i], **changes[i], progress());
            pres[i]->path.clear();
        }
    }

    // With the database running again: each copy read back from the disk must
    // hash as its source did before the pair replaces the previous one.
    void verifyAndCommit(PairCommit &pair)
    {
        const std::pair<const StagedCopy *, QString> copies[] = {{&pair.data, shownData}, {&pair.log, shownLog}};
        for (const auto &[copy, target] : copies) {
            if (copy->path.isEmpty())
                continue;
            stage(QStringLiteral("3.検証中です... 退避先:") + target);
            if (!s.files.verifyCopy(*copy, progress()))
                throw PlatformError(kErrDiskIo, kCopyDiffers);
        }
        pair.commit(r.dataTarget, r.logTarget);
        facts.committed = true;
        if (s.committed)
            s.committed();
    }

    bool run()
    {
        service = trimSpaces(r.serviceName);
        unit = canonicalUnitName(service);
        FileOps &f = s.files;
        shownData = r.dataTarget;
        shownLog = r.logTarget;
        QString refused;
        if (auto e = failureOf([&] {
                // A link at a target stays: the copy goes where it points.
                r.dataTarget = f.resolveTarget(r.dataTarget);
                r.logTarget = f.resolveTarget(r.logTarget);
                refused = refusal();
            }))
            return failReport(*e);
        if (!refused.isEmpty())
            return fail(refused);
        bool locked = false;
        if (auto e = failureOf([&] { locked = s.runLock.tryAcquire(unit); }))
            return failReport(*e);
        if (!locked)
            return fail(runLockBusyText());
        struct Unlock {
            RunLock &lock;
            ~Unlock() { lock.release(); }
        } unlock{s.runLock};

        // What an interrupted run left is ours to put right, and frees its room.
        if (!recoverRows())
            return failReport(PlatformError(kErrDiskIo, QStringLiteral("中断された処理の後始末ができません。")));
        f.removeSnapshots(r.dataSource);
        f.removeSnapshots(r.logSource);

        // Whatever would fail the copy shows now, while nothing is stopped.
        QString refusedLater;
        if (auto e = failureOf([&] {
                f.checkSource(r.dataSource);
                // A log source that is missing or no ordinary file means no
                // log (the box after the restart); an unreadable one is refused.
                if (auto log = failureOf([&] { f.checkSource(r.logSource); }); log && log->number() != kErrFileNotFound
                    && log->number() != kErrPathNotFound && log->number() != kErrPathFileAccess)
                    throw *log;
                const SpacePlan space = planSpace(f, r);
                refusedLater = space.refusal;
                previousFirst = space.previousFirst;
                if (!refusedLater.isEmpty())
                    return;
                f.prepareTarget(r.dataTarget);
                f.prepareTarget(r.logTarget);
                // Again now that the folders exist: another user may have
                // made one of them after the first look.
                for (const QString &target : {shownData, shownLog})
                    if (const QString foreign = f.foreignFolder(target); !foreign.isEmpty()) {
                        refusedLater = foreignFolderText(foreign);
                        return;
                    }
            }))
            return failReport(*e);
        if (!refusedLater.isEmpty())
            return fail(refusedLater);
        if (s.abandoned()) {
            stage(QString::fromUtf8(kMsgAbnormalEnd));
            return false;
        }

        // Where the sources' file system clones, the service is down for the
        // clones alone; elsewhere the copies are made while it still runs,
        // and only what changed is read while it is down, kept off the target
        // (a hung backup disk must not hold the database down).
        PairCommit pair(f);
        PreCopies pre(f);
        Beside beside(f);
        bool snapshots = false;
        failureOf([&] { snapshots = snapshotsFit(); });
        staging = snapshots                                  ? Staging::Clones
            : f.stagesBesideSources() && roomBesideSources() ? Staging::BesideSources
                                                             : Staging::Target;
        if (previousFirst)
            stage(
                QStringLiteral("退避先に１組分の空き容量しかないため、前回の退避ファイルを削除してからコピーします。"));
        if (!snapshots && !previousFirst) { // else the new copies fit only once the previous pair is gone
            try {
                if (auto e = failureOf([&] { preCopies(pre); }))
                    return failReport(*e);
            } catch (const Abandoned &) {
                stage(QString::fromUtf8(kMsgAbnormalEnd));
                return false;
            }
        }

        // The mark is on disk before the service goes down, so that a run
        // killed from here on is found at the next start.
        if (auto e = failureOf([&] { s.records.markServiceDown(unit); }))
            return failReport(*e);
        starter.arm([this] { return startSequence(); });
        const ServiceResult stopped = change(true);
        if (stopped.kind == ServiceResult::NotLaunched) {
            s.records.clearServiceDown(unit);
            return failReport(PlatformError(kErrFileNotFound));
        }
        if (!stopped.ok()) {
            const QString box = stopGoneWrong(stopped);
            if (box.isEmpty()) {
                s.records.clearServiceDown(unit);
                return fail(stopFailureText());
            }
            // Down, or perhaps down: start it again.
            deferred.prepend(box);
            restart();
            for (const QString &text : std::as_const(deferred))
                message(text);
            stage(QString::fromUtf8(kMsgAbnormalEnd));
            return false;
        }

        // The service is down from here: whatever fails, it is started again,
        // by the watchdog too where the downtime passes its limit.
        starter.stopped();
        bool ok = true;
        if (!s.abandoned()) {
            try {
                if (auto e = failureOf([&] { copyPhase(pair, pre, beside); })) {
                    ok = false;
                    deferred << runErrorReport(e->number(), e->text());
                }
            } catch (const Abandoned &) {
                ok = false;
            }
        } else {
            ok = false;
        }
        if (!pair.staged || s.abandoned()) {
            ok = false;
            pair.staged = false;
        }
        ok = restart() && ok;
        for (const QString &text : std::as_const(deferred))
            message(text);
        // The service runs again: a failure now needs no restart.
        if (pair.staged && !s.abandoned()) {
            try {
                if (auto e = failureOf([&] {
                        copyToTargets(pair, pre, beside);
                        verifyAndCommit(pair);
                    })) {
                    ok = false;
                    report(*e);
                }
            } catch (const Abandoned &) {
                ok = false;
            }
        }
        if (s.abandoned())
            ok = false;
        stage(QString::fromUtf8(ok ? kMsgNormalEnd : kMsgAbnormalEnd));
        return ok;
    }
};

BackupEngine::BackupEngine(EngineServices &services, Sink sink) : s_(services), emit_(std::move(sink)) {}

bool BackupEngine::run(const BackupRequest &request)
{
    facts_ = {};
    ServiceStart own;
    Impl impl{s_,    emit_, request,         {}, {}, {}, {}, {}, facts_, s_.serviceStart ? *s_.serviceStart : own,
              false, false, Staging::Target, {}};
    const bool ok = impl.run();
    emit_(RunEvent::finished(ok));
    return ok;
}

} // namespace zdb
