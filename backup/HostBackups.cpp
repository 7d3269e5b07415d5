#include "HostBackups.h"

#include "BackupEngine.h"

#include <QCoreApplication>

namespace zdb {

HostBackups::HostBackups() : records_(RunRecords::defaultFolder()) {}

std::unique_ptr<RunChannel> HostBackups::start(const BackupRequest &request)
{
    return startEngineProcess(QCoreApplication::applicationFilePath(), request);
}

QStringList HostBackups::servicesLeftDown()
{
    QStringList left;
    for (const QString &service : records_.servicesMarkedDown()) {
        // A run still holding the service's lock is alive and will start it.
        HostRunLock probe;
        bool free = false;
        try {
            free = probe.tryAcquire(canonicalUnitName(service));
        } catch (...) {
            free = true;
        }
        probe.release();
        if (free)
            left << service;
    }
    return left;
}

void HostBackups::forgetServiceDown(const QString &service) { records_.clearServiceDown(service); }

LeftDownStart HostBackups::startService(const QString &service)
{
    manager_.setTimeLimit(commandTimeLimitFromEnvironment());
    HostRunLock lock;
    return startLeftDown(service, records_, manager_, lock);
}

bool HostBackups::takeOutcome(RunRecords::Outcome *outcome) { return records_.takeOutcome(outcome); }

void HostBackups::forgetOutcome() { records_.forgetOutcome(); }

} // namespace zdb
