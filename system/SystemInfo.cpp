#include "SystemInfo.h"

namespace zdb {

// Every system this program runs on today is of the NT family or a Unix that
// provides the same services, so backups may run on both.
int HostSystemInfo::osPlatform() const { return 2; }

} // namespace zdb
