#include "SystemInfo.h"

#include <QDir>

namespace zdb {

// The profile folder; Windows gives every process one, a service's too.
QString userHomeFolder() { return QDir::homePath(); }

void setHomeFromUserDatabase() {}

} // namespace zdb
