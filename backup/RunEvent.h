#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace zdb {

// What a backup run asks of the window, one piece at a time.
struct RunEvent {
    enum Kind {
        Stage, // MSG1's text; any progress bar goes
        Progress, // the bar under MSG1: done of total bytes
        Message, // a box with an OK button and no title
        Restarted, // the service runs again: the focus goes to END; done: ms it was down
        Finished, // the run is over; ok tells which final text it showed
    };
    Kind kind = Stage;
    QString text;
    qint64 done = 0, total = 0;
    bool ok = false;

    static RunEvent stage(const QString &text) { return {Stage, text, 0, 0, false}; }
    static RunEvent progress(qint64 done, qint64 total) { return {Progress, {}, done, total, false}; }
    static RunEvent message(const QString &text) { return {Message, text, 0, 0, false}; }
    static RunEvent restarted(qint64 downMs = 0) { return {Restarted, {}, downMs, 0, false}; }
    static RunEvent finished(bool ok) { return {Finished, {}, 0, 0, ok}; }
    bool operator==(const RunEvent &) const = default;
};

// One event as one line of the pipe between the engine and the window.
QByteArray encodeEvent(const RunEvent &event);
// nullopt for a line that is no event.
std::optional<RunEvent> decodeEvent(const QByteArray &line);

// What one run works on: the service and the two copies, with every target
// path of the inputs so that an interrupted run's leftovers are found anywhere.
struct BackupRequest {
    QString serviceName;
    QString dataSource, logSource;
    QString dataTarget, logTarget;
    QStringList allTargets;
    // Where the request came from, for the run's history: the settings
    // number and the row of the targets (0 Monday .. 7 その他; -1 unknown).
    QString settingsNumber{};
    int row = -1;
    bool operator==(const BackupRequest &) const = default;
};

QByteArray encodeRequest(const BackupRequest &request);
std::optional<BackupRequest> decodeRequest(const QByteArray &line);

} // namespace zdb
