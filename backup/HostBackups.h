#pragma once

#include "BackupHost.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"

namespace zdb {

// Runs in a process of their own (this program with --engine), in a session
// of their own, so that nothing that ends the window ends the run.
class HostBackups : public BackupHost {
public:
    HostBackups();
    std::unique_ptr<RunChannel> start(const BackupRequest &request) override;
    QStringList servicesLeftDown() override;
    void forgetServiceDown(const QString &service) override;
    LeftDownStart startService(const QString &service) override;
    bool takeOutcome(RunRecords::Outcome *outcome) override;
    void forgetOutcome() override;

private:
    RunRecords records_;
    HostServiceManager manager_;
};

// Starts `program --engine` detached, hands it the request on its standard
// input and reads its events from its standard output (EngineProcess_unix.cpp).
std::unique_ptr<RunChannel> startEngineProcess(const QString &program, const BackupRequest &request);

} // namespace zdb
