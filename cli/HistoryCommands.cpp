#include "HistoryCommands.h"

#include "FileDigest.h"
#include "RestoreCommand.h"
#include "RunHistory.h"
#include "RunRecords.h"

#include <QLocale>
#include <QSaveFile>

#include <cstring>
#include <optional>

namespace zdb {

namespace {

// What the runs came to: one still going has no outcome yet.
QList<HistoryRecord> history()
{
    QList<HistoryRecord> all = RunHistory(RunRecords::defaultFolder()).read();
    all.removeIf(runStillGoing);
    return all;
}

QString when(const QDateTime &t) { return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

QString bytes(qint64 n) { return QLocale(QLocale::Japanese).toString(n) + QStringLiteral(" バイト"); }

QString seconds(qint64 ms) { return ms < 0 ? QStringLiteral("-") : QString::number(double(ms) / 1000, 'f', 1); }

// The newest record of the number (and row, unless -1) that passes keep.
template <class Keep>
const HistoryRecord *newest(const QList<HistoryRecord> &all, const QString &number, int row, Keep keep)
{
    const HistoryRecord *found = nullptr;
    for (const HistoryRecord &r : all)
        if (r.settingsNumber == number && (row < 0 || r.row == row) && keep(r) && (!found || r.end >= found->end))
            found = &r;
    return found;
}

bool verified(const HistoryRecord &r) { return r.committed && r.data.error == 0; }

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

} // namespace

int showStatus(const QString &number, double maxAgeHours, QTextStream &out)
{
    const QList<HistoryRecord> all = history();
    out << QStringLiteral("設定番号 %1 の履歴 (history of settings %1)\n").arg(number);
    for (int row = 0; row <= 7; ++row) {
        const HistoryRecord *good = newest(all, number, row, verified);
        const HistoryRecord *bad = newest(all, number, row, [](const HistoryRecord &r) { return !r.ok; });
        if (!good && !bad)
            continue;
        out << rowName(row) << '\n';
        if (good)
            out << QStringLiteral("  正常 (verified)  %1  データ %2  ログ %3  停止 %4 秒\n")
                       .arg(when(good->end), bytes(good->data.size),
                            good->hasLog ? bytes(good->log.size) : QStringLiteral("なし"), seconds(good->downtimeMs));
        if (bad) {
            QString why = bad->messages.isEmpty() ? bad->finalText : bad->messages.constFirst();
            why = why.section(u'\r', 0, 0).section(u'\n', 0, 0);
            out << QStringLiteral("  失敗 (failed)    %1  %2\n").arg(when(bad->end), why);
        }
    }
    showLastRestore(number, out);
    const HistoryRecord *latest = newest(all, number, -1, verified);
    if (!latest) {
        out << QStringLiteral("正常に退避したペアの記録がありません。(no verified pair recorded)\n");
        return 1;
    }
    const double hours = double(latest->end.secsTo(QDateTime::currentDateTimeUtc())) / 3600;
    const bool fresh = hours <= maxAgeHours;
    out << QStringLiteral("最新の正常なペア: %1（%2 時間前）%3\n")
               .arg(when(latest->end), QString::number(hours, 'f', 1),
                    fresh ? QStringLiteral("") : QStringLiteral(" 古すぎます。(older than %1 hours)").arg(maxAgeHours));
    return fresh ? 0 : 1;
}

int verifyPairs(const QString &number, bool terminal, QTextStream &out)
{
    const QList<HistoryRecord> all = history();
    // A target is what the newest verified pair written to it holds, under
    // whichever number or row wrote it last.
    const auto kept = [&](const QString &path, bool log) -> const FileDigest * {
        const HistoryRecord *found = nullptr;
        for (const HistoryRecord &r : all)
            if (r.committed && (log ? r.logTarget : r.dataTarget) == path && (!found || r.end >= found->end))
                found = &r;
        if (log ? !found->hasLog || found->log.error != 0 : found->data.error != 0)
            return nullptr;
        return log ? &found->log : &found->data;
    };
    int checked = 0, faults = 0;
    for (int row = 0; row <= 7; ++row) {
        const HistoryRecord *pair = newest(all, number, row, verified);
        if (!pair)
            continue;
        for (const bool log : {false, true}) {
            if (log && !pair->hasLog)
                continue;
            const QString &path = log ? pair->logTarget : pair->dataTarget;
            const QString label = rowName(row) + (log ? QStringLiteral(" ログ  ") : QStringLiteral(" データ"));
            // A later run put a copy there whose digests the history lacks.
            const FileDigest *expected = kept(path, log);
            if (!expected) {
                out << label << QStringLiteral("  記録なし (no digests recorded)  ") << path << '\n';
                continue;
            }
            const FileDigest now = digestFile(path, true, [&](qint64 done, qint64 total) {
                if (terminal && total > 0)
                    out << QStringLiteral("\r%1 %2%").arg(label).arg(done * 100 / total) << Qt::flush;
            });
            if (terminal)
                out << "\r\033[K";
            ++checked;
            QString verdict;
            if (now.error == ENOENT) {
                verdict = QStringLiteral("見つかりません (missing)");
            } else if (now.error != 0) {
                verdict =
                    QStringLiteral("読めません (unreadable): %1").arg(QString::fromLocal8Bit(std::strerror(now.error)));
            } else if (const auto at = firstDifference(*expected, now)) {
                verdict = QStringLiteral("不一致 (differs) %1 MiB 目から（オフセット %2）")
                              .arg(*at)
                              .arg(*at * FileDigest::kBlock);
            }
            faults += verdict.isEmpty() ? 0 : 1;
            out << label << QStringLiteral("  ")
                << (verdict.isEmpty() ? QStringLiteral("照合済み (verified)") : verdict) << QStringLiteral("  ") << path
                << '\n'
                << Qt::flush;
        }
    }
    if (checked == 0) {
        out << QStringLiteral("設定番号 %1 に、照合できるペアの記録がありません。(no verified pair recorded)\n")
                   .arg(number);
        return 1;
    }
    out << (faults == 0 ? QStringLiteral("すべて一致しました。(all copies verified)\n")
                        : QStringLiteral("%1 件のファイルが一致しません。(copies that differ or are missing: %1)\n")
                              .arg(faults));
    return faults == 0 ? 0 : 1;
}

bool writeMetrics(const QString &file, const QString &number, QString *error)
{
    const QList<HistoryRecord> all = history();
    const HistoryRecord *last = newest(all, number, -1, [](const HistoryRecord &) { return true; });
    const HistoryRecord *good = newest(all, number, -1, verified);
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
    metric("last_run_success", "1 when the newest run ended normally, else 0.", last && last->ok ? 1 : 0);
    metric("last_run_downtime_seconds", "How long the newest run kept the database service stopped.",
           last && last->downtimeMs >= 0 ? double(last->downtimeMs) / 1000 : 0);
    metric("last_success_bytes", "Bytes of the newest verified pair.",
           good ? double(good->data.size + (good->hasLog ? good->log.size : 0)) : 0);
    // Beside the file, on disk, then renamed over it: a reader sees the old
    // file or the new one, never half of one.
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit()) {
        *error = f.errorString();
        return false;
    }
    return true;
}

} // namespace zdb
