#include "SystemDoubles.h"

#include "PlatformError.h"

#include <QFile>
#include <QRegularExpression>

namespace zdb::test {

QString MemorySettings::keyOf(const QString &app, const QString &section, const QString &key)
{
    return app + u'|' + section + u'|' + key;
}

QString MemorySettings::read(const QString &app, const QString &section, const QString &key, const QString &def)
{
    ++reads;
    return values.value(keyOf(app, section, key), def);
}

void MemorySettings::write(const QString &app, const QString &section, const QString &key, const QString &value)
{
    ++writes;
    values.insert(keyOf(app, section, key), value);
}

ServiceResult RecordingServiceManager::change(const QString &call)
{
    calls << call;
    if (failToStart.contains(call) || failToStartOnce.removeOne(call))
        return {ServiceResult::NotLaunched, -1};
    if (whileRunning)
        whileRunning(call);
    const int status = exitCodes.isEmpty() ? 0 : exitCodes.takeFirst();
    if (status == kTimedOut)
        return {ServiceResult::TimedOut, -1};
    return {status == 0 ? ServiceResult::Ok : ServiceResult::Failed, status};
}

ServiceResult RecordingServiceManager::stop(const QString &unit) { return change(QStringLiteral("stop ") + unit); }

ServiceResult RecordingServiceManager::start(const QString &unit) { return change(QStringLiteral("start ") + unit); }

ServiceState RecordingServiceManager::state(const QString &unit)
{
    calls << QStringLiteral("state ") + unit;
    return states.isEmpty() ? ServiceState::Running : states.takeFirst();
}

void FaultyFileOps::enter(const QString &operation, const QString &path)
{
    calls << operation + u' ' + path;
    for (const auto &f : faults)
        if (f.operation == operation && f.operation != QStringLiteral("corrupt") && path.endsWith(f.pathSuffix))
            throw PlatformError(f.number);
}

bool FaultyFileOps::fileExists(const QString &path)
{
    enter(QStringLiteral("exists"), path);
    return HostFileOps::fileExists(path);
}

bool FaultyFileOps::makeSureDirectoryPathExists(const QString &folderPath)
{
    enter(QStringLiteral("mkdir"), folderPath);
    return HostFileOps::makeSureDirectoryPathExists(folderPath);
}

bool FaultyFileOps::sameFile(const QString &a, const QString &b)
{
    enter(QStringLiteral("same"), a);
    return HostFileOps::sameFile(a, b);
}

FreeSpace FaultyFileOps::freeSpace(const QString &path)
{
    enter(QStringLiteral("space"), path);
    return space ? space(path) : HostFileOps::freeSpace(path);
}

StagedCopy FaultyFileOps::stageCopy(const QString &from, const QString &target, const Progress &progress)
{
    enter(QStringLiteral("stage"), target);
    return corrupted(HostFileOps::stageCopy(from, target, progress), target);
}

PreCopy FaultyFileOps::preCopy(const QString &from, const QString &target, const Progress &progress)
{
    enter(QStringLiteral("precopy"), target);
    return HostFileOps::preCopy(from, target, progress);
}

// The copy that the stop waits for counts as the staging.
StagedCopy FaultyFileOps::finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                                     const Progress &progress)
{
    enter(QStringLiteral("stage"), target);
    return corrupted(HostFileOps::finishCopy(from, target, pre, progress), target);
}

// Read while the service is down, it counts as the staging too.
ChangedBlocks FaultyFileOps::captureChanges(const QString &from, const PreCopy &pre, const Progress &progress)
{
    enter(QStringLiteral("stage"), from);
    return HostFileOps::captureChanges(from, pre, progress);
}

StagedCopy FaultyFileOps::applyChanges(const PreCopy &pre, const ChangedBlocks &changes, const Progress &progress)
{
    const QString target = QString(pre.path).replace(QRegularExpression(QStringLiteral("/\\.([^/]*)\\.zdbtmp-\\w+$")),
                                                     QStringLiteral("/\\1"));
    return corrupted(HostFileOps::applyChanges(pre, changes, progress), target);
}

StagedCopy FaultyFileOps::corrupted(const StagedCopy &copy, const QString &target)
{
    for (const auto &f : faults) {
        if (f.operation != QStringLiteral("corrupt") || !target.endsWith(f.pathSuffix))
            continue;
        QFile file(copy.path);
        if (!file.open(QIODevice::ReadWrite) || file.size() == 0)
            throw PlatformError(kErrDiskIo);
        file.seek(file.size() / 2);
        char byte = 0;
        file.getChar(&byte);
        file.seek(file.size() / 2);
        file.putChar(char(byte ^ 0x20));
    }
    return copy;
}

bool FaultyFileOps::verifyCopy(const StagedCopy &copy, const Progress &progress)
{
    enter(QStringLiteral("verify"), copy.path);
    return HostFileOps::verifyCopy(copy, progress);
}

QString FaultyFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    enter(QStringLiteral("swap"), target);
    return HostFileOps::swapIntoPlace(staged, target);
}

void FaultyFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    enter(QStringLiteral("swapBack"), target);
    HostFileOps::swapBack(staged, previous, target);
}

QString FaultyFileOps::moveAside(const QString &target)
{
    enter(QStringLiteral("aside"), target);
    return HostFileOps::moveAside(target);
}

void FaultyFileOps::moveBack(const QString &aside, const QString &target)
{
    enter(QStringLiteral("moveBack"), target);
    HostFileOps::moveBack(aside, target);
}

void FaultyFileOps::removeLeftovers(const QString &target) noexcept
{
    calls << QStringLiteral("leftovers ") + target;
    HostFileOps::removeLeftovers(target);
}

} // namespace zdb::test
