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
    // Written as the run begins, so that a run killed on its way leaves a
    // record too; its own closing record, same start, takes its place.
    bool open = false;
    qint64 pid = 0; // of an open record: the process that runs it
    // Written as a run removes the pair at its targets to make room: no
    // earlier record's pair stands there any more.
    bool removed = false;

    QByteArray toLine() const;
    static std::optional<HistoryRecord> fromLine(const QByteArray &line);
};

// The history file in the state folder. Appended to and put on disk one run
// at a time; past its bound it turns into one older file (".1").
class RunHistory {
public:
    // name: another file of the folder (the restores keep their own).
    explicit RunHistory(QString folder, QString name = QStringLiteral("history.jsonl"));
    QString path() const;
    // False when the record could not be put on disk.
    bool append(const HistoryRecord &record) const;
    // Oldest first; a torn or foreign line is passed over, as is an open
    // record that its run closed. A removal record is not listed: the pairs
    // before it at either of its targets no longer count as committed.
    QList<HistoryRecord> read() const;

    static constexpr qint64 kBoundBytes = 16 * 1048576;

private:
    QString folder_, name_;
};

// Whether the process of an open record still runs this program.
bool runStillGoing(const HistoryRecord &record);

// The final text of an open record whose run is gone.
inline constexpr char kMsgRunCutShort[] = "バックアップ処理が、途中で終わりました。";

// The row's name as the window shows it: 月 .. 日, その他.
QString rowName(int row);

} // namespace zdb
