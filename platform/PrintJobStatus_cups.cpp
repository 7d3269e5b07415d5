#include "PrintJobStatus.h"

#include <cups/cups.h>

namespace zdb {

// The status of the last request on this thread: QPrinter's submission of
// the job, made on this thread as the page ends.
bool printJobAccepted() { return cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE; }

} // namespace zdb
