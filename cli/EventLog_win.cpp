#include "EventLog.h"

#include "ProductInfo.h"

#include <windows.h>

namespace zdb {

namespace {

class WindowsEventLog : public EventLog {
public:
    bool write(const EventLogEntry &entry) override
    {
        // The source the installer registered; an unregistered one still
        // logs, shown without its message file.
        const QString source = QString::fromUtf8(kProductName);
        HANDLE log = ::RegisterEventSourceW(nullptr, reinterpret_cast<const wchar_t *>(source.utf16()));
        if (log == nullptr)
            return false;
        const wchar_t *strings[] = {reinterpret_cast<const wchar_t *>(entry.text.utf16())};
        const WORD type = entry.level == EventLogEntry::Error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
        const bool ok = ::ReportEventW(log, type, 0, entry.eventId, nullptr, 1, 0, strings, nullptr) != 0;
        ::DeregisterEventSource(log);
        return ok;
    }
};

} // namespace

EventLog &systemEventLog()
{
    static WindowsEventLog log;
    return log;
}

} // namespace zdb
