// Staged copies put in place, undone, and what an interrupted run left put right.
#include "FileOpsInternal_unix.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <xxhash.h>

namespace zdb {

int errorNumberForErrno(int err, bool sourceSide)
{
    switch (err) {
    case ENOENT: return sourceSide ? kErrFileNotFound : kErrPathNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY: return kErrPermissionDenied;
    case ENAMETOOLONG:
    case EISDIR:
    case EINVAL:
    case ELOOP:
    case EEXIST: return kErrPathFileAccess;
    default: return kErrDiskIo;
    }
}

namespace fileops {

QByteArray tempPrefix(const QString &target, const char *marker)
{
    const qsizetype slash = target.lastIndexOf(u'/');
    const QString name = target.mid(slash + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    const QString prefix = slash < 0 ? QString() : target.left(slash + 1);
    const QByteArray tail = QByteArray(marker) + "XXXXXX";
    QByteArray entry = '.' + native(name);
    // A folder entry holds 255 bytes. A longer name is cut at a character
    // and told apart from its neighbours by a hash of the whole name, so
    // that two long targets never share a staged or previous name.
    if (entry.size() + tail.size() > 255) {
        const QByteArray hash = '~' + QByteArray::number(XXH3_64bits(entry.constData(), size_t(entry.size())), 16);
        QString cut = name;
        while (native(u'.' + cut).size() + hash.size() + tail.size() > 255)
            cut.chop(cut.size() > 1 && cut.back().isLowSurrogate() && cut[cut.size() - 2].isHighSurrogate() ? 2 : 1);
        entry = native(u'.' + cut) + hash;
    }
    return native(prefix) + entry + marker;
}

int makeTempBeside(const SystemCalls &sys, const QString &target, const char *marker, QString *tempPath)
{
    QByteArray templ = tempPrefix(target, marker) + "XXXXXX";
    const int fd = sys.makeTemp(templ.data());
    if (fd < 0)
        fail(errno, false);
    *tempPath = fromNative(templ);
    return fd;
}

} // namespace fileops

using namespace fileops;

namespace {

bool isAbsentMark(const QString &path)
{
    return QStringView(path).mid(path.lastIndexOf(u'/') + 1).contains(QLatin1StringView(kAbsentMarker));
}

bool present(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(native(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The name under `to` that carries the same XXXXXX as `path` under `from`;
// "" where `path` is not one of those.
QString sibling(const QString &path, const char *from, const char *to)
{
    const QLatin1StringView marker(from);
    const qsizetype at = path.size() - 6 - marker.size();
    if (at < 0 || QStringView(path).mid(at, marker.size()) != marker)
        return {};
    return path.left(at) + QLatin1StringView(to) + path.right(6);
}

bool absent(const QString &path)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) != 0 && errno == ENOENT;
}

} // namespace

namespace fileops {

// The names this program gave beside target under marker: exactly what
// mkostemp makes of its template, an ordinary file of this user (a link or
// folder is not one we made). Newest change first.
QStringList ourFilesBeside(const QString &target, const char *marker)
{
    const QByteArray prefix = tempPrefix(target, marker);
    const qsizetype slash = prefix.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : prefix.left(slash);
    const QByteArray namePrefix = prefix.mid(slash + 1);
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(folder.constData()), ::closedir);
    if (!dir)
        return {};
    std::vector<std::pair<struct timespec, QByteArray>> ours;
    const int dfd = ::dirfd(dir.get());
    while (const dirent *e = ::readdir(dir.get())) {
        const QByteArray name(e->d_name);
        if (name.size() != namePrefix.size() + 6 || !name.startsWith(namePrefix))
            continue;
        const QByteArray tail = name.right(6);
        if (!std::all_of(tail.begin(), tail.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            continue;
        struct stat st;
        if (::fstatat(dfd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_uid == ::geteuid())
            ours.emplace_back(st.st_ctim, name);
    }
    std::sort(ours.begin(), ours.end(), [](const auto &a, const auto &b) {
        return a.first.tv_sec != b.first.tv_sec ? a.first.tv_sec > b.first.tv_sec : a.first.tv_nsec > b.first.tv_nsec;
    });
    QStringList paths;
    for (const auto &entry : ours)
        paths << fromNative(slash < 0 ? entry.second : folder + '/' + entry.second);
    return paths;
}

} // namespace fileops

HostFileOps::HostFileOps(CopyMethod method, SystemCalls calls) : method_(method), sys_(std::move(calls)) {}

int HostFileOps::makeTemp(const QString &target, const char *marker, QString *tempPath)
{
    const int fd = makeTempBeside(sys_, target, marker, tempPath);
    const auto kept = checked_.find(native(folderOf(target)));
    if (kept == checked_.end())
        return fd;
    // The new name must stand in the very folder foreignFolder checked: that
    // folder, held open since, holds this file under this name.
    const QByteArray path = native(*tempPath);
    struct stat made, named;
    if (::fstat(fd, &made) == 0
        && ::fstatat(*kept->second, path.mid(path.lastIndexOf('/') + 1).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && named.st_dev == made.st_dev && named.st_ino == made.st_ino)
        return fd;
    ::close(fd);
    sys_.unlink(path.constData());
    throw PlatformError(kErrPathFileAccess, QStringLiteral("退避先のフォルダーが、確認した後に替わりました。"));
}

void HostFileOps::renameOver(const QString &from, const QString &to)
{
    if (sys_.rename(native(from).constData(), native(to).constData()) != 0)
        fail(errno, false);
}

bool HostFileOps::tryRename(const QString &from, const QString &to)
{
    return sys_.rename(native(from).constData(), native(to).constData()) == 0;
}

// A create or rename is on disk only once its folder is.
void HostFileOps::syncFolder(const QString &folder)
{
    Fd dir(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        fail(errno, false);
    // Some file systems cannot flush a folder at all: nothing to wait for there.
    if (sys_.syncFolder(dir.fd) != 0 && errno != EINVAL && errno != EOPNOTSUPP)
        fail(errno, false);
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
    struct stat st;
    if (::lstat(native(target).constData(), &st) != 0) {
        // The mark is on disk before the copy moves in: a run cut short
        // between its two swaps is then told from one that finished.
        QString absent;
        ::close(makeTemp(target, kAbsentMarker, &absent));
        try {
            syncFolder(folder);
            renameOver(staged, target);
        } catch (...) {
            removeFlushed(absent);
            throw;
        }
        try {
            syncFolder(folder);
        } catch (const PlatformError &e) {
            try {
                unswap(staged, absent, target);
            } catch (...) {
                throw SwapStands(e, absent);
            }
            throw;
        }
        return absent;
    }
    if (!S_ISREG(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    // Plain renames, the previous copy aside first: at every moment each name
    // holds one thing (the staged name the new copy, the previous name the
    // previous copy or nothing yet), so a run killed anywhere can be put right.
    // An exchange-rename would leave the new copy under the previous name.
    QString previous = reservePrevious(target);
    if (!tryRename(target, previous)) {
        const int err = errno;
        dropReservation(previous);
        fail(err, false);
    }
    try {
        syncFolder(folder);
        renameOver(staged, target);
    } catch (...) {
        // Where even this fails, recovery finds the target missing beside
        // its previous copy and puts that back.
        if (tryRename(previous, target)) {
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
        QString reserved;
        ::close(makeTemp(target, kReservedMarker, &reserved));
        QString previous = sibling(reserved, kReservedMarker, kPreviousMarker);
        if (absent(previous)) {
            try {
                syncFolder(folderOf(target));
            } catch (...) {
                sys_.unlink(native(reserved).constData());
                throw;
            }
            return previous;
        }
        // An older previous copy holds that name: never write over it.
        sys_.unlink(native(reserved).constData());
    }
    throw PlatformError(kErrFileExists);
}

// Unflushed: a reservation left alone is removed by recovery.
void HostFileOps::dropReservation(const QString &previous) noexcept
{
    const QString reserved = sibling(previous, kPreviousMarker, kReservedMarker);
    if (!reserved.isEmpty())
        sys_.unlink(native(reserved).constData());
}

void HostFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    unswap(staged, previous, target);
}

QString HostFileOps::moveAside(const QString &target)
{
    struct stat st;
    if (target.isEmpty() || ::lstat(native(target).constData(), &st) != 0)
        return {};
    if (!S_ISREG(st.st_mode))
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
    if (!path.isEmpty() && sys_.unlink(native(path).constData()) == 0)
        dropReservation(path);
}

void HostFileOps::removeFlushed(const QString &path)
{
    if (path.isEmpty())
        return;
    if (sys_.unlink(native(path).constData()) != 0 && errno != ENOENT)
        fail(errno, false);
    syncFolder(folderOf(path));
    dropReservation(path);
}

// A target that came with a commit cut short, where nothing stood before.
void HostFileOps::removeCommitted(const QString &target)
{
    struct stat st;
    if (::lstat(native(target).constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        return;
    if (sys_.unlink(native(target).constData()) != 0)
        fail(errno, false);
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
                    sys_.unlink(native(name).constData()); // taken, never used
            QStringList found;
            for (const QString &path : ourFilesBeside(target, kPreviousMarker)) {
                struct stat st;
                // A previous copy beside its reservation is one, of any size.
                // Without it (an earlier version's), an empty one beside its
                // standing target may be a name taken and never used or an
                // empty copy: it neither goes back over the target nor goes.
                if (!reserved.contains(sibling(path, kPreviousMarker, kReservedMarker)) && present(target)
                    && ::stat(native(path).constData(), &st) == 0 && st.st_size == 0)
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
            sys_.unlink(native(path).constData());
    } catch (...) {
        // A target whose leftovers cannot be named has none of ours.
    }
}

} // namespace zdb
