#include "ProductInfo.h"
#include "SystemInfo.h"

namespace zdb {

// An ELF file carries no version resource: the build's own product name.
QString HostSystemInfo::productName() const { return QString::fromUtf8(kProductName); }

} // namespace zdb
