#pragma once

#include "ServiceManager.h"

#include <QString>

namespace zdb {

class RunLock;
class RunRecords;

// A start of a service that an earlier run left down.
struct LeftDownStart {
    enum Outcome {
        Started, // running again; its mark is gone
        Failed, // the start did not work; the mark stays
        HeldByRun, // a live run holds its lock and will start it
        NoLongerDown, // a run ended meanwhile and took its mark with it
    };
    Outcome outcome = Started;
    ServiceResult result;
};

// Starts a service whose mark says it was left down, holding its lock
// meanwhile, and forgets the mark only once the start worked. Throws
// PlatformError when the lock cannot be reached.
LeftDownStart startLeftDown(const QString &service, RunRecords &records, ServiceManager &manager, RunLock &lock);

// The box for a start that did not work.
QString startFailureBox(const ServiceResult &result);

} // namespace zdb
