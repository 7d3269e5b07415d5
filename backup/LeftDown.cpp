#include "LeftDown.h"

#include "PlatformError.h"
#include "Restore.h"
#include "RestoreFiles.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceTexts.h"

namespace zdb {

LeftDownStart startLeftDown(const QString &service, RunRecords &records, ServiceManager &manager, RunLock &lock)
{
    if (!lock.tryAcquire(canonicalUnitName(service)))
        return {LeftDownStart::HeldByRun, {}};
    struct Unlock {
        RunLock &lock;
        ~Unlock() { lock.release(); }
    } unlock{lock};
    // A run may have ended between the listing and the lock: its mark is gone.
    if (!records.servicesMarkedDown().contains(service))
        return {LeftDownStart::NoLongerDown, {}};
    // A restore killed while the service was down is finished first: the
    // service starts on one whole pair, never on one file of each.
    HostRestoreFiles files;
    if (!settleInterruptedRestore(service, records, files, manager, true))
        return {LeftDownStart::Failed, {ServiceResult::Failed, 1}};
    const ServiceResult result = manager.start(service);
    if (!result.ok())
        return {LeftDownStart::Failed, result};
    records.clearServiceDown(service);
    return {LeftDownStart::Started, result};
}

QString startFailureBox(const ServiceResult &result)
{
    switch (result.kind) {
    case ServiceResult::NotLaunched: return runErrorReport(kErrFileNotFound, errorText(kErrFileNotFound));
    case ServiceResult::TimedOut: return startTimedOutText();
    case ServiceResult::Ok:
    case ServiceResult::Failed: break;
    }
    return startFailureText();
}

} // namespace zdb
