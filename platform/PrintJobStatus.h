#pragma once

namespace zdb {

// Whether the print system took the job just handed over. QPrinter does not
// say when the spooler refuses it (a queue that rejects jobs, a stopped
// scheduler), so ask the spooler where it can be asked.
bool printJobAccepted();

} // namespace zdb
