#pragma once

#include "LeftDown.h"
#include "RunEvent.h"
#include "RunRecords.h"

#include <QObject>

#include <deque>
#include <memory>

namespace zdb {

// The events of one run as they arrive, in order.
class RunChannel : public QObject {
    Q_OBJECT
public:
    bool hasEvent() const { return !queue_.empty(); }
    const RunEvent &peek() const { return queue_.front(); }
    RunEvent take();
    // No more events will come: the run has ended, or its process has gone.
    bool ended() const { return ended_; }

signals:
    // An event has been queued, or the channel has ended.
    void arrived();

protected:
    void push(const RunEvent &event);
    void end();

private:
    std::deque<RunEvent> queue_;
    bool ended_ = false;
};

// The backup runs of the machine as the window sees them: starting one, and
// what an earlier one left behind.
class BackupHost {
public:
    virtual ~BackupHost() = default;
    // Starts a run that outlives the caller. Throws PlatformError when it
    // cannot be started.
    virtual std::unique_ptr<RunChannel> start(const BackupRequest &request) = 0;
    // Services that a run which is no longer alive may have left stopped.
    virtual QStringList servicesLeftDown() = 0;
    virtual void forgetServiceDown(const QString &service) = 0;
    // Starts a service left down under its lock (startLeftDown). Throws
    // PlatformError when the lock cannot be reached.
    virtual LeftDownStart startService(const QString &service) = 0;
    // The outcome of a run that finished after its window had gone.
    virtual bool takeOutcome(RunRecords::Outcome *outcome) = 0;
    virtual void forgetOutcome() = 0;
};

} // namespace zdb
