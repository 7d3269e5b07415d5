#include "Restore.h"

#include "LeftDown.h"
#include "PlatformError.h"
#include "RestoreFiles.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <map>
#include <optional>

namespace zdb {

namespace {

bool sameContents(const FileDigest &a, const FileDigest &b)
{
    return a.error == 0 && b.error == 0 && a.size == b.size && a.whole == b.whole;
}

QString megabytes(quint64 bytes) { return QString::number((bytes + 1048575) / 1048576); }

QString fileName(const QString &path) { return path.mid(path.lastIndexOf(u'/') + 1); }

// One file of the pair through the restore: its copy, where the copy is
// staged, where it goes and where the file it replaces goes ("" for none).
struct Side {
    QString copy, staged, live, aside;
};

// How far a restore has come, as its mark keeps it.
enum class Phase { Staging, Down, Undo };

QByteArray markOf(Phase phase, const Side &data, const Side &log)
{
    const auto side = [](const Side &s) {
        return QJsonObject{
            {QStringLiteral("live"), s.live}, {QStringLiteral("staged"), s.staged}, {QStringLiteral("aside"), s.aside}};
    };
    static const char *const names[] = {"staging", "down", "undo"};
    return QJsonDocument(QJsonObject{{QStringLiteral("phase"), QLatin1String(names[int(phase)])},
                                     {QStringLiteral("data"), side(data)},
                                     {QStringLiteral("log"), side(log)}})
        .toJson(QJsonDocument::Compact);
}

// The restored pair into place, the live files aside first; each rename is
// on disk before the next. Where a step is already done it is passed over,
// so that the guard can take it up where a killed restore stopped.
void forward(RestoreFiles &f, const Side &s)
{
    if (!f.present(s.staged))
        return; // already in place
    if (!s.aside.isEmpty() && f.present(s.live))
        f.rename(s.live, s.aside);
    f.rename(s.staged, s.live);
}

// The live file back; the restored copy goes.
void back(RestoreFiles &f, const Side &s)
{
    if (!s.aside.isEmpty() && f.present(s.aside)) {
        if (f.present(s.live))
            f.rename(s.live, s.staged);
        f.rename(s.aside, s.live);
    } else if (s.aside.isEmpty() && !f.present(s.staged) && f.present(s.live)) {
        f.rename(s.live, s.staged); // where no live file stood, none stands again
    }
    f.remove(s.staged);
}

struct Restore {
    const RestoreRequest &r;
    RestoreServices &s;
    const std::function<void(const QString &)> &say;
    RestoreOutcome out;
    QString unit;
    Side data, log;
    bool staging = false; // a mark and staged files stand

    void line(const QString &text)
    {
        out.record.messages << text;
        say(text);
    }

    RestoreOutcome end(bool ok)
    {
        line(QString::fromUtf8(ok ? kMsgRestored : kMsgNotRestored));
        out.ok = ok;
        out.record.ok = ok;
        out.record.finalText = out.record.messages.constLast();
        out.record.end = s.now();
        return out;
    }

    RestoreOutcome fail(const QString &text)
    {
        for (const QString &part : text.split(u'\r'))
            line(part);
        dropStaged();
        return end(false);
    }

    // Before the stop nothing but the staged copies has changed.
    void dropStaged()
    {
        if (!staging)
            return;
        for (const Side *side : {&data, &log})
            s.files.remove(side->staged);
        if (r.toFolder.isEmpty())
            s.records.clearRestore(unit);
        staging = false;
    }

    ServiceResult change(bool stop)
    {
        s.manager.setTimeLimit(s.commandTimeLimitMs);
        return stop ? s.manager.stop(r.service) : s.manager.start(r.service);
    }

    // Refusals before anything is written: "" to go on.
    QString refusal()
    {
        for (const QString *copy : {&r.dataCopy, &r.logCopy}) {
            const qint64 size = s.files.regularFileSize(*copy);
            if (size == -1)
                return QStringLiteral("エラーです。退避ファイルが見つかりません。") + u'\r' + *copy;
            if (size < 0)
                return QStringLiteral("エラーです。退避ファイルが、通常のファイルではありません。") + u'\r' + *copy;
        }
        if (!r.toFolder.isEmpty()) {
            for (const Side *side : {&data, &log})
                if (s.files.present(side->live))
                    return QStringLiteral("エラーです。復元先に、同じ名前のファイルがあります。") + u'\r' + side->live;
        }
        // Both staged copies must fit beside the files they replace.
        std::map<quint64, std::pair<FreeSpace, quint64>> needs;
        for (const Side *side : {&data, &log}) {
            const FreeSpace room = s.files.freeSpace(side->live);
            if (!room.known)
                continue;
            auto &need = needs.try_emplace(room.device, room, 0).first->second;
            need.second += quint64(s.files.regularFileSize(side->copy));
        }
        for (const auto &[device, need] : needs)
            if (need.second > need.first.available)
                return QStringLiteral("エラーです。DBファイルのフォルダーの空き容量が不足しています。") + u'\r'
                    + QStringLiteral("必要な容量は%1MB、空き容量は%2MBです。")
                          .arg(megabytes(need.second), megabytes(need.first.available));
        return {};
    }

    // The copies as read, against the history: "" when they are its pair.
    QString mismatch(const HistoryRecord *expected, const FileDigest &readData, const FileDigest &readLog)
    {
        if (!expected || (sameContents(readData, expected->data) && sameContents(readLog, expected->log)))
            return {};
        bool dataKnown = false, logKnown = false;
        for (const HistoryRecord &h : s.history) {
            if (!h.committed)
                continue;
            dataKnown = dataKnown || sameContents(readData, h.data);
            logKnown = logKnown || (h.hasLog && sameContents(readLog, h.log));
        }
        if (dataKnown && logKnown)
            return QStringLiteral("エラーです。DBデータとDBログの退避ファイルが、別々のバックアップのものです。")
                + u'\r' + QStringLiteral("同じ時に退避したペアだけを復元できます。");
        QString text = QStringLiteral("エラーです。退避ファイルが、履歴に記録された内容と一致しません。");
        if (!sameContents(readData, expected->data))
            text += u'\r' + r.dataCopy;
        if (!sameContents(readLog, expected->log))
            text += u'\r' + r.logCopy;
        return text;
    }

    RestoreOutcome run()
    {
        HistoryRecord &rec = out.record;
        rec.start = s.now();
        rec.settingsNumber = r.settingsNumber;
        rec.row = r.row;
        rec.service = r.service;
        rec.dataTarget = r.dataCopy;
        rec.logTarget = r.logCopy;
        s.began(rec);
        unit = canonicalUnitName(r.service);
        const bool inPlace = r.toFolder.isEmpty();
        data = {r.dataCopy, {}, inPlace ? r.dataLive : r.toFolder + u'/' + fileName(r.dataLive), {}};
        log = {r.logCopy, {}, inPlace ? r.logLive : r.toFolder + u'/' + fileName(r.logLive), {}};
        if (inPlace && !serviceNameIsValid(r.service))
            return fail(badServiceNameText());
        bool locked = false;
        try {
            locked = s.lock.tryAcquire(unit);
        } catch (const PlatformError &e) {
            return fail(runErrorReport(e.number(), e.text()));
        }
        if (!locked)
            return fail(runLockBusyText());
        struct Unlock {
            RunLock &lock;
            ~Unlock() { lock.release(); }
        } unlock{s.lock};

        const HistoryRecord *expected = recordedPair(s.history, r.dataCopy, r.logCopy);
        if (!expected && !r.unrecorded)
            return fail(QStringLiteral("エラーです。この退避ファイルのペアは、履歴に記録がありません。") + u'\r'
                        + QStringLiteral("履歴より前に退避したペアは、--unverified を付けると照合せずに復元します。"));
        if (const QString refused = refusal(); !refused.isEmpty())
            return fail(refused);

        // The mark stands before the first staged file, so that the guard
        // finds what a restore killed from here on left.
        try {
            if (inPlace)
                s.records.markRestore(unit, markOf(Phase::Staging, data, log));
            staging = true;
            for (Side *side : {&data, &log}) {
                line(QStringLiteral("照合中です... 復元元:") + side->copy);
                const Side &other = side == &data ? log : data;
                const QString owner = s.files.present(side->live) ? side->live : other.live;
                const RestoreStage staged = s.files.stage(side->copy, side->live, owner, [&](const QString &path) {
                    // Named in the mark before it is given to the database's user.
                    side->staged = path;
                    if (inPlace)
                        s.records.markRestore(unit, markOf(Phase::Staging, data, log));
                });
                (side == &data ? rec.data : rec.log) = staged.read;
                if (!staged.readBackEqual)
                    return fail(QStringLiteral("エラーです。複写したファイルを読み直すと、一致しません。") + u'\r'
                                + side->staged);
            }
        } catch (const PlatformError &e) {
            return fail(runErrorReport(e.number(), e.text()));
        }
        rec.hasLog = true;
        if (const QString differs = mismatch(expected, rec.data, rec.log); !differs.isEmpty())
            return fail(differs);
        if (expected)
            line(QStringLiteral("照合しました。%1 に退避したペアです。")
                     .arg(expected->end.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        else
            line(QStringLiteral("注意: 履歴に記録のないペアのため、照合していません。(not verified)"));

        if (!inPlace) {
            try {
                for (Side *side : {&data, &log}) {
                    s.files.rename(side->staged, side->live);
                    side->staged.clear();
                    line(QStringLiteral("復元しました: ") + side->live);
                }
            } catch (const PlatformError &e) {
                return fail(runErrorReport(e.number(), e.text()));
            }
            rec.committed = true;
            return end(true);
        }
        return swap();
    }

    // From the stop to the start: the service is down for the stop, four
    // renames and the start.
    RestoreOutcome swap()
    {
        const QDateTime when = s.now();
        for (Side *side : {&data, &log}) {
            if (!s.files.present(side->live))
                continue;
            // A second restore within the same second keeps the first one's pair too.
            side->aside = replacedName(side->live, when);
            for (int n = 2; s.files.present(side->aside); ++n)
                side->aside = replacedName(side->live, when) + u'-' + QString::number(n);
        }
        const bool wasRunning = s.manager.state(r.service) == ServiceState::Running;
        try {
            s.records.markServiceDown(unit);
            s.records.markRestore(unit, markOf(Phase::Down, data, log));
        } catch (const PlatformError &e) {
            s.records.clearServiceDown(unit);
            return fail(runErrorReport(e.number(), e.text()));
        }
        line(QStringLiteral("ＤＢサービス停止処理中です... "));
        QElapsedTimer down;
        down.start();
        const ServiceResult stopped = change(true);
        if (!stopped.ok()) {
            // As for a backup: the service's state says whether it is down.
            const bool launched = stopped.kind != ServiceResult::NotLaunched;
            const ServiceState state = launched ? s.manager.state(r.service) : ServiceState::Running;
            if (state != ServiceState::Stopped) {
                const QString text = !launched ? runErrorReport(kErrFileNotFound, errorText(kErrFileNotFound))
                    : stopped.kind == ServiceResult::TimedOut ? stopTimedOutText()
                                                              : stopFailureText();
                // Perhaps on its way down: started again, the mark kept until that worked.
                const bool neverStopped = state == ServiceState::Running || state == ServiceState::Missing;
                dropStaged(); // the restore's mark goes before the service's, as ever
                if (neverStopped || change(false).ok())
                    s.records.clearServiceDown(unit);
                return fail(text);
            }
        }
        staging = false;
        try {
            forward(s.files, data);
            forward(s.files, log);
        } catch (const PlatformError &e) {
            line(runErrorReport(e.number(), e.text()).replace(u'\r', u' '));
            return undo(down, wasRunning);
        }
        line(QStringLiteral("SQLServer開始処理中です... "));
        const ServiceResult started = change(false);
        out.record.downtimeMs = down.elapsed();
        line(QStringLiteral("ＤＢサービスの停止時間: %1 秒").arg(double(out.record.downtimeMs) / 1000.0, 0, 'f', 3));
        if (!started.ok()) {
            for (const QString &part : startFailureBox(started).split(u'\r'))
                line(part);
            line(QStringLiteral("復元したファイルでは、ＤＢサービスを開始できません。元のファイルに戻します。"));
            return undo(down, wasRunning);
        }
        s.records.clearRestore(unit);
        s.records.clearServiceDown(unit);
        out.record.committed = true;
        for (const Side *side : {&data, &log})
            line(side->aside.isEmpty()
                     ? QStringLiteral("置き換えたファイル: なし（%1 はありませんでした）").arg(side->live)
                     : QStringLiteral("置き換えたファイル: %1 → %2").arg(side->live, side->aside));
        return end(true);
    }

    // The live pair back, the service started on it.
    RestoreOutcome undo(QElapsedTimer &down, bool wasRunning)
    {
        try {
            s.records.markRestore(unit, markOf(Phase::Undo, data, log));
            change(true);
            back(s.files, log);
            back(s.files, data);
        } catch (const PlatformError &e) {
            // The mark stays: the guard puts back what is left.
            line(runErrorReport(e.number(), e.text()).replace(u'\r', u' '));
            return end(false);
        }
        s.records.clearRestore(unit);
        const ServiceResult started = change(false);
        out.record.downtimeMs = down.elapsed();
        if (started.ok()) {
            s.records.clearServiceDown(unit);
            line(QStringLiteral("元のファイルに戻し、ＤＢサービスを開始しました。"));
        } else {
            // One that was down before the restore is no run's to start.
            if (!wasRunning)
                s.records.clearServiceDown(unit);
            line(QStringLiteral("元のファイルに戻しました。"));
            for (const QString &part : startFailureBox(started).split(u'\r'))
                line(part);
        }
        return end(false);
    }
};

} // namespace

const HistoryRecord *recordedPair(const QList<HistoryRecord> &history, const QString &dataCopy, const QString &logCopy)
{
    const HistoryRecord *found = nullptr;
    for (const HistoryRecord &h : history)
        if (h.committed && h.dataTarget == dataCopy && h.logTarget == logCopy && (!found || h.end >= found->end))
            found = &h;
    // The newest backup there without digests put what no record describes.
    if (!found || found->data.error != 0 || !found->hasLog || found->log.error != 0)
        return nullptr;
    return found;
}

QString replacedName(const QString &live, const QDateTime &when)
{
    return live + QStringLiteral(".zdbreplaced-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

RestoreOutcome restorePair(const RestoreRequest &request, RestoreServices &services,
                           const std::function<void(const QString &)> &say)
{
    Restore restore{request, services, say, {}, {}, {}, {}, false};
    return restore.run();
}

bool settleInterruptedRestore(const QString &service, RunRecords &records, RestoreFiles &files, ServiceManager &manager,
                              bool serviceLeftDown)
{
    const QByteArray mark = records.restoreMark(service);
    if (mark.isEmpty())
        return true;
    const QJsonObject o = QJsonDocument::fromJson(mark).object();
    const auto side = [&](const char *name) {
        const QJsonObject s = o.value(QLatin1String(name)).toObject();
        return Side{{},
                    s.value(QStringLiteral("staged")).toString(),
                    s.value(QStringLiteral("live")).toString(),
                    s.value(QStringLiteral("aside")).toString()};
    };
    const Side data = side("data"), log = side("log");
    // Without the service's mark the restore never stopped it, or started it
    // again on a whole pair: only staged copies can be left.
    const QString phase = serviceLeftDown ? o.value(QStringLiteral("phase")).toString() : QStringLiteral("staging");
    // Killed after its marks but perhaps before its stop, or while one was
    // still on its way: no file moves under a database that runs.
    if (phase != QLatin1String("staging") && !manager.stop(service).ok()
        && manager.state(service) != ServiceState::Stopped)
        return false;
    try {
        if (phase == QLatin1String("down")) {
            forward(files, data);
            forward(files, log);
        } else if (phase == QLatin1String("undo")) {
            back(files, log);
            back(files, data);
        } else if (phase == QLatin1String("staging")) {
            files.remove(data.staged); // given to the database's user: no longer named ours
            files.remove(log.staged);
        } else {
            return false; // not ours to read: left to the operator
        }
        // Staged copies the mark could not yet name go too.
        for (const Side *s : {&data, &log})
            for (const QString &left : files.leftovers(s->live))
                files.remove(left);
    } catch (const PlatformError &) {
        return false;
    }
    records.clearRestore(service);
    return true;
}

} // namespace zdb
