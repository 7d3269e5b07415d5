#pragma once

#include "RunHistory.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

namespace zdb {

class RestoreFiles;
class RunLock;
class RunRecords;
class ServiceManager;

// A row's pair to put back over the database's files, or into a folder.
struct RestoreRequest {
    QString settingsNumber;
    int row = -1;
    QString service; // trimmed
    QString dataLive, logLive; // the database's files
    QString dataCopy, logCopy; // the row's pair
    QString toFolder; // "": over the database's files, else into this folder, stopping nothing
    bool unrecorded = false; // a pair the history does not know is restored too, unverified
};

// What a restore needs of the world; tests hand stand-ins.
struct RestoreServices {
    RestoreFiles &files;
    ServiceManager &manager;
    RunLock &lock;
    RunRecords &records;
    QList<HistoryRecord> history; // of the backups
    int commandTimeLimitMs = 10 * 60 * 1000;
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    // Told the record as the restore begins, so that one killed on its way is recorded too.
    std::function<void(const HistoryRecord &)> began = [](const HistoryRecord &) {};
};

// The restore as its history keeps it: the row's copies as targets, the
// restored pair's digests, every line said, and whether the pair stands.
struct RestoreOutcome {
    bool ok = false;
    HistoryRecord record;
};

// The newest committed backup to these two paths, where it kept both
// copies' digests; nullptr where the history does not know the pair.
const HistoryRecord *recordedPair(const QList<HistoryRecord> &history, const QString &dataCopy, const QString &logCopy);

// The name the live file will be kept under once it is replaced at `when`.
QString replacedName(const QString &live, const QDateTime &when);

// Proves the pair against the history while the service runs (staged beside
// the database's files and read back), then stops the service, moves the
// live pair aside, renames the staged pair in and starts it again; where it
// does not start, the live pair goes back. Each line goes to `say`.
RestoreOutcome restorePair(const RestoreRequest &request, RestoreServices &services,
                           const std::function<void(const QString &)> &say);

// Finishes what a killed restore of the service left, with its lock held:
// staged copies of one killed before the stop go; one killed once the
// service was stopped leaves the restored pair, or the live pair where it
// was being put back, never one file of each (the service stopped first).
// serviceLeftDown: the service's own mark says it was left down.
// False where that failed: the service must not start yet.
bool settleInterruptedRestore(const QString &service, RunRecords &records, RestoreFiles &files, ServiceManager &manager,
                              bool serviceLeftDown);

// The final texts.
inline constexpr char kMsgRestored[] = "正常に復元しました。";
inline constexpr char kMsgNotRestored[] = "復元できませんでした。";
inline constexpr char kMsgRestoreCutShort[] = "復元処理が、途中で終わりました。";

} // namespace zdb
