// Staged copies put in place, undone, and what an interrupted run left put
// right: one sequence on every system, over the moves each makes its own way.
#include "FileOpsInternal.h"

#include <QStringList>

#include <utility>

namespace zdb {

using namespace fileops;

namespace {

bool isAbsentMark(const QString &path)
{
    return QStringView(path).mid(lastSeparator(path) + 1).contains(QLatin1StringView(kAbsentMarker));
}

} // namespace

void HostFileOps::renameOver(const QString &from, const QString &to)
{
    if (const int failed = tryRename(from, to))
        throw PlatformError(failed);
}

// The names are right again; the failure that called for the undo is the
// one to report.
void HostFileOps::syncFolderAfterUndo(const QString &folder) noexcept
{
    try {
        syncFolder(folder);
    } catch (...) {
    }
}

// Each rename is on disk before the next one relies on it, so that a crash
// anywhere leaves names recovery can read: a failed flush is undone where
// the undo can be flushed, and is never taken for success.
QString HostFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    const QString folder = folderOf(target);
    const Entry standing = entryAt(target);
    if (standing == Entry::Missing || standing == Entry::Unknown) {
        // The mark is on disk before the copy moves in: a run cut short
        // between its two swaps is then told from one that finished.
        QString mark = makeMark(target, kAbsentMarker);
        try {
            syncFolder(folder);
            renameOver(staged, target);
        } catch (...) {
            removeFlushed(mark);
            throw;
        }
        try {
            syncFolder(folder);
        } catch (const PlatformError &e) {
            try {
                unswap(staged, mark, target);
            } catch (...) {
                throw SwapStands(e, mark);
            }
            throw;
        }
        return mark;
    }
    if (standing != Entry::File)
        throw PlatformError(kErrPathFileAccess);
    // Plain renames, the previous copy aside first: at every moment each name
    // holds one thing (the staged name the new copy, the previous name the
    // previous copy or nothing yet), so a run killed anywhere can be put right.
    // An exchange-rename would leave the new copy under the previous name.
    QString previous = reservePrevious(target);
    if (const int failed = tryRename(target, previous)) {
        dropReservation(previous);
        throw PlatformError(failed);
    }
    try {
        syncFolder(folder);
        renameOver(staged, target);
    } catch (...) {
        // Where even this fails, recovery finds the target missing beside
        // its previous copy and puts that back.
        if (tryRename(previous, target) == 0) {
            syncFolderAfterUndo(folder);
            dropReservation(previous);
        }
        throw;
    }
    try {
        syncFolder(folder);
    } catch (const PlatformError &e) {
        try {
            unswap(staged, previous, target);
        } catch (...) {
            throw SwapStands(e, previous);
        }
        throw;
    }
    return previous;
}

// Puts the previous file back at target and the new one at staged, each
// rename flushed; throws when that is not sure to be on disk.
void HostFileOps::unswap(const QString &staged, const QString &previous, const QString &target)
{
    const QString folder = folderOf(target);
    renameOver(target, staged);
    syncFolder(folder);
    if (previous.isEmpty() || isAbsentMark(previous)) {
        removeFlushed(previous);
        return;
    }
    renameOver(previous, target);
    syncFolder(folder);
    dropReservation(previous);
}

// A name for the previous copy of target that nothing holds, its
// reservation made and on disk.
QString HostFileOps::reservePrevious(const QString &target)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString reserved = makeMark(target, kReservedMarker);
        QString previous = sibling(reserved, kReservedMarker, kPreviousMarker);
        if (absent(previous)) {
            try {
                syncFolder(folderOf(target));
            } catch (...) {
                tryRemove(reserved);
                throw;
            }
            return previous;
        }
        // An older previous copy holds that name: never write over it.
        tryRemove(reserved);
    }
    throw PlatformError(kErrFileExists);
}

// Unflushed: a reservation left alone is removed by recovery.
void HostFileOps::dropReservation(const QString &previous) noexcept
{
    const QString reserved = sibling(previous, kPreviousMarker, kReservedMarker);
    if (!reserved.isEmpty())
        tryRemove(reserved);
}

void HostFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    unswap(staged, previous, target);
}

QString HostFileOps::moveAside(const QString &target)
{
    const Entry standing = target.isEmpty() ? Entry::Missing : entryAt(target);
    if (standing == Entry::Missing || standing == Entry::Unknown)
        return {};
    if (standing != Entry::File)
        throw PlatformError(kErrPathFileAccess);
    QString aside = reservePrevious(target);
    try {
        renameOver(target, aside);
    } catch (...) {
        dropReservation(aside);
        throw;
    }
    const QString folder = folderOf(target);
    try {
        syncFolder(folder);
    } catch (const PlatformError &e) {
        try {
            moveBack(aside, target);
        } catch (...) {
            throw SwapStands(e, aside);
        }
        throw;
    }
    return aside;
}

void HostFileOps::moveBack(const QString &aside, const QString &target)
{
    if (aside.isEmpty())
        return;
    renameOver(aside, target);
    syncFolder(folderOf(target));
    dropReservation(aside);
}

void HostFileOps::discard(const QString &path) noexcept
{
    if (!path.isEmpty() && tryRemove(path) == 0)
        dropReservation(path);
}

void HostFileOps::removeFlushed(const QString &path)
{
    if (path.isEmpty())
        return;
    if (const int failed = tryRemove(path); failed > 0)
        throw PlatformError(failed);
    syncFolder(folderOf(path));
    dropReservation(path);
}

// A target that came with a commit cut short, where nothing stood before.
void HostFileOps::removeCommitted(const QString &target)
{
    bool ours = false;
    if (entryAt(target, nullptr, &ours) != Entry::File || !ours)
        return;
    if (const int failed = tryRemove(target); failed > 0)
        throw PlatformError(failed);
    syncFolder(folderOf(target));
}

bool HostFileOps::recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept
{
    try {
        removeLeftovers(dataTarget);
        removeLeftovers(logTarget);
        const auto previousOf = [this](const QString &target) {
            const QStringList reserved = ourFilesBeside(target, kReservedMarker);
            for (const QString &name : reserved)
                if (absent(sibling(name, kReservedMarker, kPreviousMarker)))
                    tryRemove(name); // taken, never used
            QStringList found;
            for (const QString &path : ourFilesBeside(target, kPreviousMarker)) {
                qint64 size = -1;
                // A previous copy beside its reservation is one, of any size.
                // Without it (an earlier version's), an empty one beside its
                // standing target may be a name taken and never used or an
                // empty copy: it neither goes back over the target nor goes.
                if (!reserved.contains(sibling(path, kPreviousMarker, kReservedMarker)) && present(target)
                    && entryAt(path, &size) == Entry::File && size == 0)
                    continue;
                found << path;
            }
            // A mark that a target had no previous copy counts as its previous copy.
            return found + ourFilesBeside(target, kAbsentMarker);
        };
        QStringList dataPrevious = previousOf(dataTarget);
        QStringList logPrevious = previousOf(logTarget);
        if (dataPrevious.isEmpty() && logPrevious.isEmpty())
            return true;
        // Killed inside the commit: the data side still has its previous
        // copy (or mark), and the log side none, or a target is missing. The
        // commit removes the data side's first, each removal flushed, so a
        // log side's previous copy without the data side's is what a commit
        // that finished left (without a log source: beside no log target).
        // Then the previous pair goes back.
        // Where neither target stands, a log side's previous copy is the only
        // copy of anything and goes back too.
        const bool killedInCommit =
            (!dataPrevious.isEmpty() && (logPrevious.isEmpty() || !present(dataTarget) || !present(logTarget)))
            || (!logPrevious.isEmpty() && !present(dataTarget) && !present(logTarget));
        if (killedInCommit) {
            for (auto [list, target] : {std::pair{&dataPrevious, dataTarget}, std::pair{&logPrevious, logTarget}}) {
                if (list->isEmpty())
                    continue;
                // Where nothing stood before, what stands now came with the
                // commit and goes with it: the row holds a whole pair or
                // nothing of ours.
                const QString front = list->takeFirst();
                if (isAbsentMark(front)) {
                    removeCommitted(target);
                    removeFlushed(front);
                } else {
                    renameOver(front, target);
                    syncFolder(folderOf(target));
                    dropReservation(front);
                }
            }
        }
        // Older previous copies go only where the data copy stands, the data
        // side's first.
        if (!present(dataTarget))
            return true;
        for (const QStringList *list : {&dataPrevious, &logPrevious})
            for (const QString &path : *list)
                removeFlushed(path);
        return true;
    } catch (...) {
        // What is left is put right by the next run, the pair kept meanwhile.
        return false;
    }
}

void HostFileOps::removeLeftovers(const QString &target) noexcept
{
    try {
        for (const QString &path : ourFilesBeside(target, kTempMarker))
            tryRemove(path);
    } catch (...) {
        // A target whose leftovers cannot be named has none of ours.
    }
}

QStringList HostFileOps::removeSnapshots(const QString &source) noexcept
{
    QStringList removed;
    try {
        if (!source.isEmpty())
            for (const QString &path : ourFilesBeside(source, kSnapshotMarker))
                if (tryRemove(path) == 0)
                    removed << path;
    } catch (...) {
        // A source whose folder cannot be read has none of ours.
    }
    return removed;
}

} // namespace zdb
