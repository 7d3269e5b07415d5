#pragma once

#include "RunHistory.h"

#include <QString>

namespace zdb {

// A run's outcome as one event where Windows administrators look for it.
struct EventLogEntry {
    enum Level { Information, Error };
    Level level = Information;
    quint32 eventId = 0; // the message table's: 1 a normal end, 2 an abnormal one
    QString text; // the final text, the outcome, the downtime, the run's messages
};

EventLogEntry eventLogEntry(const HistoryRecord &record);

class EventLog {
public:
    virtual ~EventLog() = default;
    // False when the entry could not be written.
    virtual bool write(const EventLogEntry &entry) = 0;
};

// The system's own log: the Windows Event Log under the program's source
// (registered by the installer); on Linux none, the journal has the outcome.
EventLog &systemEventLog();

} // namespace zdb
