#pragma once

#include <QElapsedTimer>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace zdb {

// The one start of the service after its stop. The engine runs it once its
// copies are staged; a watchdog on another thread runs it first where the
// downtime passes its limit or the run is asked to end, whatever the copy is
// doing. Whoever comes second gets the first one's outcome: the service is
// started once, and its mark goes only with a start that worked.
class ServiceStart {
public:
    // Before the stop command: `sequence` starts the service (the mark goes
    // where that worked) and says whether it did.
    void arm(std::function<bool()> sequence);
    // The stop command has returned: from here the watchdog may start it.
    void stopped();
    // Runs the sequence unless it ran or runs on another thread, then waits
    // for it; its outcome.
    bool run();
    // The watchdog's start, only while the service is down and nobody has
    // begun to start it; reason: what the run reports ("" says nothing).
    // False where it did not run it.
    bool force(const QString &reason);

    // Milliseconds the service has been down, while down and not yet being
    // started by anyone; -1 otherwise.
    qint64 downForMs() const;
    // A stop or start command is running.
    bool commandRunning() const;
    bool forced() const;
    QString forcedReason() const;
    // From the stop command's start to the start sequence's end; -1 before.
    qint64 downtimeMs() const;
    // Armed: the stop command was given.
    bool armed() const;
    // The start sequence ran and worked.
    bool started() const;

private:
    enum class Phase { Up, Stopping, Down, Starting, Started };
    bool runHere(std::unique_lock<std::mutex> &lock);

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::function<bool()> sequence_;
    Phase phase_ = Phase::Up;
    bool ok_ = false, forced_ = false;
    QString reason_;
    QElapsedTimer down_;
    qint64 downtimeMs_ = -1;
};

} // namespace zdb
