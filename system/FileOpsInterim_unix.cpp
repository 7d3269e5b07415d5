#include "FileOps.h"

namespace zdb {

QString HostFileOps::resolveTarget(const QString &target) { return target; }

QString HostFileOps::foreignFolder(const QString &) { return {}; }

void HostFileOps::recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept
{
    removeLeftovers(dataTarget);
    removeLeftovers(logTarget);
}

} // namespace zdb
