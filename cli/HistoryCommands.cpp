#include "HistoryCommands.h"

#include "FileDigest.h"
#include "RestoreCommand.h"
#include "RunHistory.h"
#include "RunRecords.h"

#include <QLocale>

#include <cerrno>
#include <cstring>
#include <optional>

namespace zdb {

namespace {

// What the runs came to: one still going has no outcome yet.
QList<HistoryRecord> history(QString *fault)
{
    QList<HistoryRecord> all = RunHistory(RunRecords::defaultFolder()).read(fault);
    all.removeIf(runStillGoing);
    return all;
}

QString when(const QDateTime &t) { return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

QString bytes(qint64 n) { return QLocale(QLocale::Japanese).toString(n) + QStringLiteral(" バイト"); }

QString seconds(qint64 ms) { return ms < 0 ? QStringLiteral("-") : QString::number(double(ms) / 1000, 'f', 1); }

// A record that ends this far past now was written under a clock gone wrong.
constexpr qint64 kFutureSlackSeconds = qint64(5) * 60;
bool fromTheFuture(const HistoryRecord &r)
{
    return QDateTime::currentDateTimeUtc().secsTo(r.end) > kFutureSlackSeconds;
}

// The newest record of the number (and row, unless -1) that passes keep:
// the last written, whatever its clock said.
template <class Keep>
const HistoryRecord *newest(const QList<HistoryRecord> &all, const QString &number, int row, Keep keep)
{
    const HistoryRecord *found = nullptr;
    for (const HistoryRecord &r : all)
        if (r.settingsNumber == number && (row < 0 || r.row == row) && keep(r))
            found = &r;
    return found;
}

bool committed(const HistoryRecord &r) { return r.committed; }

// The pair stands whole and the history kept what each copy must read back as.
bool verified(const HistoryRecord &r)
{
    return r.committed && !r.noLog && r.data.error == 0 && r.hasLog && r.log.error == 0;
}

bool writes(const HistoryRecord &r, const QString &path, bool log)
{
    return r.committed && (log ? r.logTarget : r.dataTarget) == path;
}

// What a target holds is what the newest run that wrote it left, whoever ran it.
const HistoryRecord *standingAt(const QList<HistoryRecord> &all, const QString &path, bool log)
{
    const HistoryRecord *found = nullptr;
    for (const HistoryRecord &r : all)
        if (writes(r, path, log))
            found = &r;
    return found;
}

// The other settings numbers that wrote to the path.
QStringList sharing(const QList<HistoryRecord> &all, const QString &path, bool log, const QString &number)
{
    QStringList numbers;
    for (const HistoryRecord &r : all)
        if (writes(r, path, log) && r.settingsNumber != number && !numbers.contains(r.settingsNumber))
            numbers << r.settingsNumber;
    return numbers;
}

QString sharingText(const QString &number, const QStringList &others)
{
    return QStringLiteral("  設定番号 %1 と %2 が、同じ退避先を使っています。(settings %1 and %2 share this target)\n")
        .arg(number, others.join(QStringLiteral(", ")));
}

QString historyFaultText(const QString &fault)
{
    return QStringLiteral("エラーです。履歴を読めません。(cannot read the history) %1\n").arg(fault);
}

// What a copy holds now against what the history kept of it: the first MiB
// that differs, or nullopt.
std::optional<qint64> firstDifference(const FileDigest &kept, const FileDigest &now)
{
    const size_t blocks = std::max(kept.blocks.size(), now.blocks.size());
    for (size_t i = 0; i < blocks; ++i)
        if (i >= kept.blocks.size() || i >= now.blocks.size() || kept.blocks[i] != now.blocks[i])
            return qint64(i);
    if (kept.size != now.size || kept.whole != now.whole)
        return qint64(blocks);
    return std::nullopt;
}

// Why a row's copy at path cannot be read back against the history, or "".
QString uncheckable(const HistoryRecord *at, bool log, const QString &number)
{
    if (!at)
        return QStringLiteral("記録なし (no pair recorded)");
    if (at->settingsNumber != number)
        return QStringLiteral("上書きされました (overwritten by settings %1)").arg(at->settingsNumber);
    if (log && at->noLog)
        return QStringLiteral("ログはコピーされていません (log not copied)");
    if (log ? !at->hasLog || at->log.error != 0 : at->data.error != 0)
        return QStringLiteral("記録なし (no digests recorded)");
    return {};
}

} // namespace

int showStatus(const QString &number, double maxAgeHours, QTextStream &out)
{
    QString fault;
    const QList<HistoryRecord> all = history(&fault);
    out << QStringLiteral("設定番号 %1 の履歴 (history of settings %1)\n").arg(number);
    bool overwritten = false;
    const HistoryRecord *latest = nullptr; // the newest pair that stands
    for (int row = 0; row <= 7; ++row) {
        const HistoryRecord *pair = newest(all, number, row, committed);
        const HistoryRecord *bad = newest(all, number, row, [](const HistoryRecord &r) { return !r.ok; });
        if (!pair && !bad)
            continue;
        out << rowName(row) << '\n';
        if (pair) {
            const HistoryRecord *over = nullptr;
            for (const HistoryRecord *at :
                 {standingAt(all, pair->dataTarget, false), standingAt(all, pair->logTarget, true)})
                if (at->settingsNumber != number)
                    over = at;
            QString state = QStringLiteral("正常 (verified)");
            if (over)
                state = QStringLiteral("上書き (overwritten by settings %1)").arg(over->settingsNumber);
            else if (pair->noLog)
                state = QStringLiteral("ログなし (no log copied)");
            else if (!verified(*pair))
                state = QStringLiteral("記録なし (no digests recorded)");
            out << QStringLiteral("  %1  %2  データ %3  ログ %4  停止 %5 秒%6\n")
                       .arg(state, when(pair->end), bytes(pair->data.size),
                            pair->hasLog ? bytes(pair->log.size) : QStringLiteral("なし"), seconds(pair->downtimeMs),
                            fromTheFuture(*pair) ? QStringLiteral("  未来の日時です (dated in the future)")
                                                 : QString());
            QStringList others = sharing(all, pair->dataTarget, false, number);
            for (const QString &n : sharing(all, pair->logTarget, true, number))
                if (!others.contains(n))
                    others << n;
            if (!others.isEmpty())
                out << sharingText(number, others);
            overwritten = overwritten || over;
            if (!over && (!latest || pair > latest))
                latest = pair;
        }
        if (bad) {
            QString why = bad->messages.isEmpty() ? bad->finalText : bad->messages.constFirst();
            why = why.section(u'\r', 0, 0).section(u'\n', 0, 0);
            out << QStringLiteral("  失敗 (failed)    %1  %2\n").arg(when(bad->end), why);
        }
    }
    if (!fault.isEmpty())
        out << historyFaultText(fault);
    showLastRestore(number, out);
    if (!latest) {
        out << QStringLiteral("正常に退避したペアの記録がありません。(no verified pair recorded)\n");
        return 1;
    }
    if (!verified(*latest)) {
        out << QStringLiteral("最新のペアは、照合できません。(the newest pair cannot be verified) %1\n")
                   .arg(when(latest->end));
        return 1;
    }
    if (fromTheFuture(*latest)) {
        out << QStringLiteral("最新のペアの日時が未来です。時計を確認して下さい。(the newest pair is dated in the "
                              "future: check the clock) %1\n")
                   .arg(when(latest->end));
        return 1;
    }
    const double hours = double(latest->end.secsTo(QDateTime::currentDateTimeUtc())) / 3600;
    const bool fresh = hours <= maxAgeHours;
    out << QStringLiteral("最新の正常なペア: %1（%2 時間前）%3\n")
               .arg(when(latest->end), QString::number(hours, 'f', 1),
                    fresh ? QStringLiteral("") : QStringLiteral(" 古すぎます。(older than %1 hours)").arg(maxAgeHours));
    return fresh && !overwritten && fault.isEmpty() ? 0 : 1;
}

int verifyPairs(const QString &number, const QStringList &targets, bool terminal, QTextStream &out)
{
    QString fault;
    const QList<HistoryRecord> all = history(&fault);
    int checked = 0, faults = 0;
    for (int row = 0; row <= 7; ++row) {
        // The row as stored now, else as its newest run wrote it.
        QString paths[2] = {targets.value(qsizetype(2) * row), targets.value(qsizetype(2) * row + 1)};
        if (paths[0].trimmed().isEmpty() || paths[1].trimmed().isEmpty()) {
            const HistoryRecord *pair = newest(all, number, row, committed);
            if (!pair)
                continue;
            paths[0] = pair->dataTarget;
            paths[1] = pair->logTarget;
        }
        for (const bool log : {false, true}) {
            const QString &path = paths[log ? 1 : 0];
            const QString label = rowName(row) + (log ? QStringLiteral(" ログ  ") : QStringLiteral(" データ"));
            const HistoryRecord *at = standingAt(all, path, log);
            ++checked;
            QString verdict = uncheckable(at, log, number);
            if (verdict.isEmpty()) {
                const QString &file = log ? at->logFile : at->dataFile;
                const FileDigest now = digestFile(file.isEmpty() ? path : file, true, [&](qint64 done, qint64 total) {
                    if (terminal && total > 0)
                        out << QStringLiteral("\r%1 %2%").arg(label).arg(done * 100 / total) << Qt::flush;
                });
                if (terminal)
                    out << "\r\033[K";
                if (now.error == ENOENT) {
                    verdict = QStringLiteral("見つかりません (missing)");
                } else if (now.error == ELOOP || now.error == EINVAL) {
                    verdict = QStringLiteral("通常のファイルではありません (not a regular file)");
                } else if (now.error != 0) {
                    verdict = QStringLiteral("読めません (unreadable): %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(now.error)));
                } else if (const auto differs = firstDifference(log ? at->log : at->data, now)) {
                    verdict = QStringLiteral("不一致 (differs) %1 MiB 目から（オフセット %2）")
                                  .arg(*differs)
                                  .arg(*differs * FileDigest::kBlock);
                }
            }
            faults += verdict.isEmpty() ? 0 : 1;
            out << label << QStringLiteral("  ")
                << (verdict.isEmpty() ? QStringLiteral("照合済み (verified)") : verdict) << QStringLiteral("  ") << path
                << '\n';
            if (const QStringList others = sharing(all, path, log, number); !others.isEmpty())
                out << sharingText(number, others);
            out << Qt::flush;
        }
    }
    if (!fault.isEmpty()) {
        out << historyFaultText(fault);
        ++faults;
    }
    if (checked == 0) {
        out << QStringLiteral("設定番号 %1 に、照合できるペアの記録がありません。(no verified pair recorded)\n")
                   .arg(number);
        return 1;
    }
    out << (faults == 0 ? QStringLiteral("すべて一致しました。(all copies verified)\n")
                        : QStringLiteral("%1 件のファイルが一致しないか、照合できません。(copies not verified: %1)\n")
                              .arg(faults));
    return faults == 0 ? 0 : 1;
}

bool writeMetrics(const QString &file, const QString &number, QString *error)
{
    QString fault;
    const QList<HistoryRecord> all = history(&fault);
    if (!fault.isEmpty()) {
        *error = historyFaultText(fault).trimmed();
        return false;
    }
    const HistoryRecord *last = newest(all, number, -1, [](const HistoryRecord &) { return true; });
    // A pair another number wrote over, or dated in the future, is no success.
    const HistoryRecord *good = newest(all, number, -1, [&](const HistoryRecord &r) {
        return verified(r) && !fromTheFuture(r) && standingAt(all, r.dataTarget, false) == &r
            && standingAt(all, r.logTarget, true) == &r;
    });
    QString label = number;
    label.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'"', QStringLiteral("\\\""))
        .replace(u'\n', QStringLiteral("\\n"));
    label = QStringLiteral("{settings=\"%1\"}").arg(label);
    QString text;
    const auto metric = [&](const char *name, const char *help, double value) {
        text += QStringLiteral("# HELP zorvatdbbackup_%1 %2\n# TYPE zorvatdbbackup_%1 gauge\nzorvatdbbackup_%1%3 %4\n")
                    .arg(QLatin1String(name), QLatin1String(help), label,
                         QString::number(value, 'f', value == double(qint64(value)) ? 0 : 3));
    };
    const auto epoch = [](const HistoryRecord *r) { return r ? double(r->end.toMSecsSinceEpoch()) / 1000 : 0.0; };
    metric("last_success_timestamp_seconds", "End of the newest run whose pair was verified and put in place.",
           epoch(good));
    metric("last_run_timestamp_seconds", "End of the newest run.", epoch(last));
    metric("last_run_success", "1 when the newest run ended normally with a whole pair, else 0.",
           last && last->ok && !last->noLog ? 1 : 0);
    metric("last_run_downtime_seconds", "How long the newest run kept the database service stopped.",
           last && last->downtimeMs >= 0 ? double(last->downtimeMs) / 1000 : 0);
    metric("last_success_bytes", "Bytes of the newest verified pair.",
           good ? double(good->data.size + (good->hasLog ? good->log.size : 0)) : 0);
    // Beside the file, on disk, then renamed over it: a reader sees the old
    // file or the new one, never half of one.
    return replaceRegularFile(file, text.toUtf8(), 0644, error);
}

} // namespace zdb
