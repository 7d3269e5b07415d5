#pragma once

#include "FileDigest.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace zdb {

// One run as its history keeps it: a JSON object on a line of its own.
struct HistoryRecord {
    QDateTime start, end;
    QString settingsNumber;
    int row = -1;
    QString service, dataTarget, logTarget;
    qint64 downtimeMs = -1;
    bool ok = false;
    bool committed = false; // the pair below stands at the targets
    QString finalText;
    QStringList messages;
    // The committed copies as read back; error != 0 where none was read.
    FileDigest data, log;
    bool hasLog = false; // a log copy was made

    QByteArray toLine() const;
    static std::optional<HistoryRecord> fromLine(const QByteArray &line);
};

// The history file in the state folder. Appended to and put on disk one run
// at a time; past its bound it turns into one older file (".1").
class RunHistory {
public:
    explicit RunHistory(QString folder);
    QString path() const;
    // False when the record could not be put on disk.
    bool append(const HistoryRecord &record) const;
    // Oldest first; a torn or foreign line is passed over.
    QList<HistoryRecord> read() const;

    static constexpr qint64 kBoundBytes = 16 * 1048576;

private:
    QString folder_;
};

// The row's name as the window shows it: 月 .. 日, その他.
QString rowName(int row);

} // namespace zdb
