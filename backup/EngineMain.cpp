#include "EngineMain.h"

#include "EngineSignals.h"
#include "FileDigest.h"
#include "FileOps.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"
#include "Text.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstdio>

namespace zdb {

bool runWithHostServices(const BackupRequest &request, const BackupEngine::Sink &sink, HistoryRecord *record)
{
    catchEndingSignals();
    adoptOrphanedDescendants();
    HostFileOps files;
    HostServiceManager manager;
    HostRunLock lock;
    RunRecords records(RunRecords::defaultFolder());
    EngineServices services{files, manager, lock, records, [](int ms) { QThread::msleep(ulong(ms)); }};
    services.abandoned = endingSignalArrived;
    services.commandTimeLimitMs = commandTimeLimitFromEnvironment();

    HistoryRecord r;
    r.start = QDateTime::currentDateTimeUtc();
    r.settingsNumber = request.settingsNumber;
    r.row = request.row;
    r.service = trimSpaces(request.serviceName);
    r.dataTarget = request.dataTarget;
    r.logTarget = request.logTarget;
    // Read while the lock still keeps the next run away; the service runs
    // again by then, so this costs no downtime.
    services.committed = [&]() noexcept {
        try {
            r.data = digestFile(request.dataTarget);
            r.log = digestFile(request.logTarget);
            r.hasLog = r.log.error != ENOENT; // a pair without a log copy has none
        } catch (...) {
            r.data.error = ENOMEM;
        }
    };
    // Stands for the run until it ends: a run killed on its way still shows.
    HistoryRecord opened = r;
    opened.end = r.start;
    opened.open = true;
    opened.pid = QCoreApplication::applicationPid();
    opened.finalText = QString::fromUtf8(kMsgRunCutShort);
    RunHistory(records.folder()).append(opened);
    BackupEngine engine(services, [&](const RunEvent &event) {
        if (event.kind == RunEvent::Message)
            r.messages << event.text;
        if (event.kind == RunEvent::Stage)
            r.finalText = event.text;
        sink(event);
    });
    r.ok = engine.run(request);
    r.end = QDateTime::currentDateTimeUtc();
    r.downtimeMs = engine.facts().downtimeMs;
    r.committed = engine.facts().committed;
    RunHistory(records.folder()).append(r);
    if (record)
        *record = r;
    return r.ok;
}

int runEngineProcess()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return 2;
    const auto request = decodeRequest(in.readLine(1 << 20));
    in.close();
    if (!request)
        return 2;
    const std::unique_ptr<EventOutput> out = openEventOutput();
    RunRecords records(RunRecords::defaultFolder());
    RunRecords::Outcome outcome;
    const bool ok = runWithHostServices(*request, [&](const RunEvent &event) {
        if (event.kind == RunEvent::Message)
            outcome.messages << event.text;
        if (event.kind == RunEvent::Stage)
            outcome.finalText = event.text;
        // Kept before the window hears of the end; the window forgets it once shown.
        if (event.kind == RunEvent::Finished)
            records.keepOutcome(outcome);
        out->write(event);
    });
    out->finish();
    return ok ? 0 : 1;
}

} // namespace zdb
