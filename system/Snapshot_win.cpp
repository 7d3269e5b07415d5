#include "FileOps.h"

namespace zdb {

// Cloning a file beside itself needs block cloning on the volume (ReFS);
// without a way to try it under Wine, every volume counts as one that
// cannot clone, and the copies are made while the service is down.
QString HostFileOps::snapshot(const QString &) { return {}; }

QStringList HostFileOps::removeSnapshots(const QString &) noexcept { return {}; }

// The changes taken while the service is down are not kept beside the sources
// here yet: the copies are made to the targets while it is down, as where the
// sources' file system has no room. The three calls below are never reached.
bool HostFileOps::stagesBesideSources() const { return false; }

ChangedBlocks HostFileOps::captureChanges(const QString &, const PreCopy &, const Progress &)
{
    throw PlatformError(kErrInternal);
}

StagedCopy HostFileOps::applyChanges(const PreCopy &, const ChangedBlocks &, const Progress &)
{
    throw PlatformError(kErrInternal);
}

QString HostFileOps::copyBeside(const QString &, const Progress &) { throw PlatformError(kErrInternal); }

} // namespace zdb
