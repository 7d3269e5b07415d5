#pragma once

namespace zdb {

// From here on SIGTERM, SIGINT and SIGHUP only ask the run to end (it
// abandons the copy and starts the service again), and a reader that has
// gone (SIGPIPE) ends nothing (EngineSignals_unix.cpp).
void catchEndingSignals();
// True once one of those signals has arrived.
bool endingSignalArrived();

} // namespace zdb
