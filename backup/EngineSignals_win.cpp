#include "EngineSignals.h"

#include <windows.h>

#include <atomic>

namespace zdb {

namespace {

std::atomic<bool> arrived{false};

// A closed console, a log-off or a shutdown only asks the run to end: it
// abandons the copy and starts the service again. Windows ends the process
// when the handler returns from the last three, so it waits for the run's
// end (the system's own bound applies).
BOOL WINAPI onControl(DWORD type)
{
    arrived = true;
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

} // namespace

void catchEndingSignals() { ::SetConsoleCtrlHandler(onControl, TRUE); }

bool endingSignalArrived() { return arrived; }

} // namespace zdb
