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
    // The log source was missing: the pair stands without a log copy.
    bool noLog = false;
    // Where the copies went (a link's destination): what is read back.
    QString dataFile, logFile;
    // Written as the run begins, so that a run killed on its way leaves a
    // record too; its own closing record, same start, takes its place.
    bool open = false;
    qint64 pid = 0; // of an open record: the process that runs it
    // and which one: a number is given again after a reboot or an exit.
    QString bootId;
    qint64 pidStart = 0; // clock ticks after the boot
    // Written as a run removes the pair at its targets to make room: no
    // earlier record's pair stands there any more.
    bool removed = false;

    QByteArray toLine() const;
    static std::optional<HistoryRecord> fromLine(const QByteArray &line);
};

// The history file in the state folder. Appended to and put on disk one run
// at a time; past its bound it turns into one older file (".1"). The newest
// committed record of each pair of targets is also kept in a file of its own
// (in "pairs"), so that no pair's digests are ever lost to the bound.
inline constexpr char kHistoryName[] = "history.jsonl";

class RunHistory {
public:
    // name: another file of the folder (the restores keep their own).
    explicit RunHistory(QString folder, QString name = QString::fromLatin1(kHistoryName));
    QString path() const;
    // False when the record could not be put on disk (*fault says where and why).
    bool append(const HistoryRecord &record, QString *fault = nullptr) const;
    // Oldest first, in the order written (the clock may have been wrong);
    // the kept pairs that the history no longer holds come first. A torn or
    // foreign line is passed over, as is an open record that its run closed.
    // A removal record is not listed: the pairs before it at either of its
    // targets no longer count as committed. A file that is not a regular one
    // (or a link) is not read: *fault names it.
    QList<HistoryRecord> read(QString *fault = nullptr) const;

    static constexpr qint64 kBoundBytes = 16 * 1048576;

private:
    QString pairPath(const HistoryRecord &record) const;
    // Appends one line, on disk before it returns (*fault says where and why not).
    bool appendLine(QByteArray line, QString *fault) const;
    QString folder_, name_;
};

// Reads a whole file: a missing one reads as empty; false for one that
// cannot be read or is not a regular file, never followed as a link nor
// waited on as a pipe (*fault names it).
bool readRegularFile(const QString &path, QByteArray *bytes, QString *fault);

// Writes bytes beside path, puts them on disk and renames them over path,
// which is never followed as a link: where anything but a regular file
// stands there, nothing is written and *error says so.
bool replaceRegularFile(const QString &path, const QByteArray &bytes, int mode, QString *error);

// Whether the process of an open record still runs this program: the same
// boot, the same process.
bool runStillGoing(const HistoryRecord &record);
// This process as an open record names it.
void nameThisRun(HistoryRecord *record);

// The final text of an open record whose run is gone.
inline constexpr char kMsgRunCutShort[] = "バックアップ処理が、途中で終わりました。";

// The row's name as the window shows it: 月 .. 日, その他.
QString rowName(int row);

} // namespace zdb
