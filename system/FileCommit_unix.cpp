// The names, moves and flushes the commit stands on, on Linux.
#include "FileOpsInternal_unix.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
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

qsizetype lastSeparator(const QString &path) { return path.lastIndexOf(u'/'); }

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

qsizetype entrySize(const QString &name) { return native(name).size(); }
QByteArray entryBytes(const QString &name) { return native(name); }

int makeTempBeside(const SystemCalls &sys, const QString &target, const char *marker, QString *tempPath)
{
    QByteArray templ = native(tempPrefix(target, marker)) + "XXXXXX";
    const int fd = sys.makeTemp(templ.data());
    if (fd < 0)
        fail(errno, false);
    *tempPath = fromNative(templ);
    return fd;
}

} // namespace fileops

using namespace fileops;

namespace fileops {

QStringList ourFilesBeside(const QString &target, const char *marker)
{
    const QByteArray prefix = native(tempPrefix(target, marker));
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

int HostFileOps::tryRename(const QString &from, const QString &to)
{
    return sys_.rename(native(from).constData(), native(to).constData()) == 0 ? 0 : errorNumberForErrno(errno, false);
}

int HostFileOps::tryRemove(const QString &path)
{
    if (sys_.unlink(native(path).constData()) == 0)
        return 0;
    return errno == ENOENT ? -1 : errorNumberForErrno(errno, false);
}

QString HostFileOps::makeMark(const QString &target, const char *marker)
{
    QString path;
    ::close(makeTemp(target, marker, &path));
    return path;
}

HostFileOps::Entry HostFileOps::entryAt(const QString &path, qint64 *size, bool *ours)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry::Missing : Entry::Unknown;
    if (size)
        *size = qint64(st.st_size);
    if (ours)
        *ours = st.st_uid == ::geteuid();
    return S_ISREG(st.st_mode) ? Entry::File : S_ISDIR(st.st_mode) ? Entry::Folder : Entry::Other;
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

} // namespace zdb
