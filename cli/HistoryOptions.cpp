#include "HistoryOptions.h"

#include "HistoryCommands.h"
#include "Terminal.h"

namespace zdb {

bool takeHistoryOption(const QStringList &arguments, qsizetype &i, HistoryOptions &options)
{
    const QString &a = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (a == QLatin1String("--status") || a == QLatin1String("--verify")) {
        const auto mode = a == QLatin1String("--status") ? HistoryOptions::Status : HistoryOptions::Verify;
        if (options.mode != HistoryOptions::None && options.mode != mode)
            options.bad = a;
        options.mode = mode;
    } else if (a == QLatin1String("--max-age")) {
        bool ok = false;
        options.maxAgeHours = hasValue ? arguments[++i].trimmed().toDouble(&ok) : 0;
        if (!ok || options.maxAgeHours <= 0)
            options.bad = a;
    } else if (a == QLatin1String("--metrics")) {
        options.metricsFile = hasValue ? arguments[++i] : QString();
        if (options.metricsFile.isEmpty())
            options.bad = a;
    } else {
        return false;
    }
    return true;
}

int runHistoryCommand(const HistoryOptions &options, const QString &number, const QStringList &targets,
                      QTextStream &out, QTextStream &err)
{
    if (options.mode == HistoryOptions::Verify) {
        if (!options.metricsFile.isEmpty()) {
            err << QStringLiteral("エラーです。--metrics は --run か --status と使います。(--metrics goes with "
                                  "--run or --status)\n");
            return 2;
        }
        return verifyPairs(number, targets, standardOutputIsTerminal(), out);
    }
    const int status = showStatus(number, options.maxAgeHours, out);
    out.flush();
    return finishRun(status == 0, options, number, err);
}

int finishRun(bool ok, const HistoryOptions &options, const QString &number, QTextStream &err)
{
    QString why;
    if (!options.metricsFile.isEmpty() && !writeMetrics(options.metricsFile, number, &why)) {
        err << QStringLiteral("エラーです。メトリクスを書き込めません。%1 (%2)\n").arg(options.metricsFile, why);
        return 1;
    }
    return ok ? 0 : 1;
}

QString finalLine(const HistoryRecord &record)
{
    if (!record.noLog || !record.committed)
        return record.finalText;
    return record.finalText + QStringLiteral("（DBログファイルなし: ログはコピーしていません）");
}

QList<std::pair<QByteArray, QByteArray>> journalFields(const HistoryRecord &r)
{
    QList<std::pair<QByteArray, QByteArray>> fields{
        {"MESSAGE", finalLine(r).toUtf8()},         {"PRIORITY", r.ok ? "6" : "3"},
        {"SYSLOG_IDENTIFIER", "zorvatdbbackup"},    {"ZDB_OUTCOME", r.ok ? "success" : "failure"},
        {"ZDB_COMMITTED", r.committed ? "1" : "0"}, {"ZDB_SETTINGS", r.settingsNumber.toUtf8()},
        {"ZDB_ROW", QByteArray::number(r.row)},     {"ZDB_SERVICE", r.service.toUtf8()},
    };
    if (r.downtimeMs >= 0)
        fields.append({"ZDB_DOWNTIME_MS", QByteArray::number(r.downtimeMs)});
    return fields;
}

} // namespace zdb
