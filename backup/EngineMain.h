#pragma once

#include "BackupEngine.h"
#include "RunHistory.h"

#include <memory>

namespace zdb {

// The engine process (`--engine`): reads one request from its standard input,
// runs it with the host's services and writes each event to its standard
// output as a line. When the window has gone it finishes alone and keeps its
// outcome for the next start. Returns the exit status.
int runEngineProcess();

// One run with the host's services, the ending signals caught and the
// service's lock held; events go to sink. The run is appended to the history
// in the state folder and, when asked, handed to *record as well.
// The engine runs on a thread of its own; this one is its watchdog: it starts
// the service when the downtime passes its limit (downtimeLimitFromEnvironment)
// or an ending signal arrives, and ends the run, reported, where the engine's
// thread does not come back.
bool runWithHostServices(const BackupRequest &request, const BackupEngine::Sink &sink, HistoryRecord *record = nullptr);

// What a front end returns as its exit status: where a run ended without its
// stuck copy thread, the process exits here and now (outputs flushed).
int endOfRun(int status);

// The engine's events on their way to the window, written without ever waiting
// on it: a window that has gone or stopped reading must not hold the database
// down. Progress is dropped while earlier lines wait; everything else is kept
// in order (EngineMain_unix.cpp, EngineMain_win.cpp).
class EventOutput {
public:
    virtual ~EventOutput() = default;
    virtual void write(const RunEvent &event) = 0;
    // At the end: a reader still there gets every line, within a bound.
    virtual void finish() = 0;
};
// Takes standard output for the events; nothing started from here inherits it.
std::unique_ptr<EventOutput> openEventOutput();

} // namespace zdb
