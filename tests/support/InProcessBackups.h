#pragma once

#include "BackupEngine.h"
#include "BackupHost.h"
#include "SystemDoubles.h"

#include <QStringList>

#include <functional>

namespace zdb::test {

// Runs the real engine in the test's own process, on the doubles it is
// given; its events reach the window one at a time through the event loop,
// as they would through the pipe.
class InProcessBackups : public BackupHost {
public:
    InProcessBackups(EngineServices &services) : services_(services) {}
    std::unique_ptr<RunChannel> start(const BackupRequest &request) override;
    QStringList servicesLeftDown() override;
    void forgetServiceDown(const QString &service) override;
    LeftDownStart startService(const QString &service) override;
    bool takeOutcome(RunRecords::Outcome *outcome) override;
    void forgetOutcome() override;

    QList<BackupRequest> requests;
    // Instead of the engine: the events a run reports (tests of the window alone).
    std::optional<QList<RunEvent>> scripted;
    // The process goes after this many events, without its last word.
    int dieAfter = -1;
    QStringList aliveServices; // runs still holding their lock
    int outcomeForgotten = 0;

private:
    EngineServices &services_;
};

} // namespace zdb::test
