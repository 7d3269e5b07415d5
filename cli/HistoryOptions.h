#pragma once

#include "RunHistory.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTextStream>

#include <utility>

namespace zdb {

// The command line's options around the run history: `--status`,
// `--verify`, `--max-age HOURS`, `--metrics FILE`.
struct HistoryOptions {
    enum Mode { None, Status, Verify };
    Mode mode = None;
    double maxAgeHours = 26;
    QString metricsFile;
    QString bad; // an option given wrongly, or in the wrong company
};

// Takes arguments[i] (and its value) when it is one of these options.
bool takeHistoryOption(const QStringList &arguments, qsizetype &i, HistoryOptions &options);

// `--status` or `--verify` for the settings number, whose stored rows'
// targets are given: the exit status.
int runHistoryCommand(const HistoryOptions &options, const QString &number, const QStringList &targets,
                      QTextStream &out, QTextStream &err);

// The run's final line: says so where its pair stands without a log copy.
QString finalLine(const HistoryRecord &record);

// After `--run`: the metrics file, when asked for. The exit status.
int finishRun(bool ok, const HistoryOptions &options, const QString &number, QTextStream &err);

// The run's outcome as the journal's fields: its final text as MESSAGE.
QList<std::pair<QByteArray, QByteArray>> journalFields(const HistoryRecord &record);

} // namespace zdb
