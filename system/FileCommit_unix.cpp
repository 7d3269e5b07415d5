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

// The name that temporary files beside target start with: the folder, a dot,
// the target's name (shortened to fit a folder entry) and the marker.
QByteArray tempPrefix(const QString &target, const char *marker)
{
    const qsizetype slash = target.lastIndexOf(u'/');
    QString name = target.mid(slash + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    const QString prefix = slash < 0 ? QString() : target.left(slash + 1);
    // Keep within the 255 bytes a folder entry may have.
    const QString tail = QString::fromLatin1(marker) + QStringLiteral("XXXXXX");
    while (native(u'.' + name + tail).size() > 255)
        name.chop(1);
    return native(prefix + u'.' + name + QString::fromLatin1(marker));
}

// Creates an empty temporary file beside target, returning its descriptor.
int makeTempBeside(const QString &target, const char *marker, QString *tempPath)
{
    QByteArray templ = tempPrefix(target, marker) + "XXXXXX";
    const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        fail(errno, false);
    *tempPath = QFile::decodeName(templ);
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
        paths << QFile::decodeName(slash < 0 ? entry.second : folder + '/' + entry.second);
    return paths;
}

} // namespace

HostFileOps::HostFileOps(CopyMethod method, SystemCalls calls) : method_(method), sys_(std::move(calls)) {}

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

QString HostFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    const QString folder = folderOf(target);
    struct stat st;
    if (::lstat(native(target).constData(), &st) != 0) {
        // The mark goes down before the copy moves in: a run cut short
        // between its two swaps is then told from one that finished.
        QString absent;
        ::close(makeTempBeside(target, kAbsentMarker, &absent));
        try {
            renameOver(staged, target);
        } catch (...) {
            ::unlink(native(absent).constData());
            throw;
        }
        try {
            syncFolder(folder);
        } catch (...) {
            if (!tryRename(target, staged))
                return absent; // the swap stands
            ::unlink(native(absent).constData());
            syncFolderAfterUndo(folder);
            throw;
        }
        return absent;
    }
    if (S_ISDIR(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    // Plain renames, the previous copy aside first: at every moment each name
    // holds one thing (the staged name the new copy, the previous name the
    // previous copy or nothing yet), so a run killed anywhere can be put right.
    // An exchange-rename would leave the new copy under the previous name.
    QString previous;
    ::close(makeTempBeside(target, kPreviousMarker, &previous));
    if (!tryRename(target, previous)) {
        const int err = errno;
        ::unlink(native(previous).constData());
        fail(err, false);
    }
    if (!tryRename(staged, target)) {
        const int err = errno;
        tryRename(previous, target);
        fail(err, false);
    }
    try {
        syncFolder(folder);
    } catch (...) {
        try {
            unswap(staged, previous, target);
        } catch (...) {
            return previous; // the swap stands
        }
        syncFolderAfterUndo(folder);
        throw;
    }
    return previous;
}

// Puts the previous file back at target and the new one at staged; throws
// when the previous file is not back.
void HostFileOps::unswap(const QString &staged, const QString &previous, const QString &target)
{
    if (previous.isEmpty() || isAbsentMark(previous)) {
        renameOver(target, staged);
        discard(previous);
        return;
    }
    renameOver(target, staged);
    if (!tryRename(previous, target)) {
        const int err = errno;
        tryRename(staged, target); // the swap stands again
        fail(err, false);
    }
}

void HostFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    unswap(staged, previous, target);
    syncFolderAfterUndo(folderOf(target));
}

QString HostFileOps::moveAside(const QString &target)
{
    struct stat st;
    if (target.isEmpty() || ::lstat(native(target).constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return {};
    QString aside;
    ::close(makeTempBeside(target, kPreviousMarker, &aside));
    try {
        renameOver(target, aside);
    } catch (...) {
        ::unlink(native(aside).constData());
        throw;
    }
    const QString folder = folderOf(target);
    try {
        syncFolder(folder);
    } catch (...) {
        if (!tryRename(aside, target))
            return aside; // it stays aside
        syncFolderAfterUndo(folder);
        throw;
    }
    return aside;
}

void HostFileOps::moveBack(const QString &aside, const QString &target)
{
    if (aside.isEmpty())
        return;
    renameOver(aside, target);
    syncFolderAfterUndo(folderOf(target));
}

void HostFileOps::discard(const QString &path) noexcept
{
    if (!path.isEmpty())
        ::unlink(native(path).constData());
}

void HostFileOps::recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept
{
    try {
        removeLeftovers(dataTarget);
        removeLeftovers(logTarget);
        const auto previousOf = [](const QString &target) {
            QStringList found;
            for (const QString &path : ourFilesBeside(target, kPreviousMarker)) {
                struct stat st;
                // An empty one beside its standing target is a name taken
                // for a copy that was never moved aside.
                if (present(target) && ::stat(native(path).constData(), &st) == 0 && st.st_size == 0)
                    ::unlink(native(path).constData());
                else
                    found << path;
            }
            // A mark that a target had no previous copy counts as its previous copy.
            return found + ourFilesBeside(target, kAbsentMarker);
        };
        QStringList dataPrevious = previousOf(dataTarget);
        QStringList logPrevious = previousOf(logTarget);
        if (dataPrevious.isEmpty() && logPrevious.isEmpty())
            return;
        // Killed inside the commit: a target is missing beside its previous
        // copy, or the data side has one and the log side none (the new data
        // copy stands beside the old log). Then the previous pair goes back.
        const bool killedInCommit = (!present(dataTarget) && !dataPrevious.isEmpty())
            || (!present(logTarget) && !logPrevious.isEmpty()) || (!dataPrevious.isEmpty() && logPrevious.isEmpty());
        if (killedInCommit) {
            for (auto [list, target] : {std::pair{&dataPrevious, dataTarget}, std::pair{&logPrevious, logTarget}}) {
                if (list->isEmpty())
                    continue;
                // Where nothing stood before, a copy that arrived stays: it
                // may be the only one.
                const QString &front = list->front();
                if (isAbsentMark(front) || tryRename(front, target)) {
                    if (isAbsentMark(front))
                        discard(front);
                    list->removeFirst();
                    syncFolderAfterUndo(folderOf(target));
                }
            }
        }
        // Older previous copies go only where a whole pair stands.
        if (!present(dataTarget) || !present(logTarget))
            return;
        for (const QStringList *list : {&dataPrevious, &logPrevious})
            for (const QString &path : *list)
                ::unlink(native(path).constData());
        syncFolderAfterUndo(folderOf(dataTarget));
        syncFolderAfterUndo(folderOf(logTarget));
    } catch (...) {
        // A target whose files cannot be named has none of ours.
    }
}

void HostFileOps::removeLeftovers(const QString &target) noexcept
{
    try {
        for (const QString &path : ourFilesBeside(target, kTempMarker))
            ::unlink(native(path).constData());
    } catch (...) {
        // A target whose leftovers cannot be named has none of ours.
    }
}

} // namespace zdb
