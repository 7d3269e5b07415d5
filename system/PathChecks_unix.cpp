// Where copies may go and what stands there: the checks made before the stop.
#include "FileOpsInternal_unix.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace zdb {

using namespace fileops;

namespace fs = std::filesystem;

bool HostFileOps::fileExists(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HostFileOps::makeSureDirectoryPathExists(const QString &folderPath)
{
    const qsizetype slash = folderPath.lastIndexOf(u'/');
    if (slash < 0)
        return true;
    const QByteArray folder = native(slash == 0 ? QStringLiteral("/") : folderPath.left(slash));
    // One folder at a time, so that each new one is flushed in its parent.
    // The mode leaves the rest to the operator's umask.
    QByteArray at = folder.startsWith('/') ? QByteArray("/") : QByteArray();
    for (const QByteArray &part : folder.split('/')) {
        if (part.isEmpty())
            continue;
        const QByteArray parent = at.isEmpty() ? QByteArray(".") : at;
        at += (at.isEmpty() || at.endsWith('/') ? QByteArray() : QByteArray("/")) + part;
        if (::mkdir(at.constData(), 0777) == 0) {
            try {
                syncFolder(fromNative(parent));
            } catch (const PlatformError &) {
                return false;
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st;
    return ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostFileOps::sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && b.isEmpty();
    struct stat sa, sb;
    if (::stat(native(a).constData(), &sa) == 0 && ::stat(native(b).constData(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    // A path with no file yet: compare where the two paths lead.
    std::error_code ea, eb;
    const fs::path pa = fs::weakly_canonical(fs::absolute(native(a).toStdString(), ea), ea);
    const fs::path pb = fs::weakly_canonical(fs::absolute(native(b).toStdString(), eb), eb);
    if (ea || eb)
        return a == b;
    return pa == pb;
}

qint64 HostFileOps::fileSize(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return qint64(st.st_size);
}

FreeSpace HostFileOps::freeSpace(const QString &path)
{
    // A folder the run has yet to create lives on its nearest existing ancestor.
    std::error_code ec;
    fs::path at = fs::absolute(fs::path(native(folderOf(path)).toStdString()), ec);
    FreeSpace result;
    if (ec)
        return result;
    for (;;) {
        struct stat st;
        struct statvfs vfs;
        if (::stat(at.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::statvfs(at.c_str(), &vfs) == 0) {
            result.device = quint64(st.st_dev);
            result.available = quint64(vfs.f_bavail) * quint64(vfs.f_frsize);
            result.known = true;
            return result;
        }
        if (!at.has_relative_path())
            return result;
        at = at.parent_path();
    }
}

QString HostFileOps::resolveTarget(const QString &target)
{
    // Links are followed as bytes, and the end kept losslessly (fromNative).
    QByteArray path = native(target);
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (path.isEmpty() || ::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        if (hops == 40) // as the kernel counts a loop
            throw PlatformError(kErrPathFileAccess);
        QByteArray dest(qsizetype(st.st_size > 0 ? st.st_size : 4095) + 1, Qt::Uninitialized);
        const ssize_t n = ::readlink(path.constData(), dest.data(), size_t(dest.size()));
        if (n < 0)
            fail(errno, false);
        if (n >= dest.size()) // grew meanwhile
            continue;
        dest.truncate(n);
        // A relative link starts from the folder that holds it.
        const qsizetype slash = path.lastIndexOf('/');
        path = dest.startsWith('/') || slash < 0 ? dest : path.left(slash + 1) + dest;
    }
    return fromNative(path);
}

QString HostFileOps::foreignFolder(const QString &targetPath)
{
    // The folder a copy for this target is staged in, by the name the copy
    // will use: kept below once the walk has checked it.
    QByteArray stagedIn;
    try {
        stagedIn = native(folderOf(resolveTarget(targetPath)));
    } catch (const PlatformError &) {
    }
    checked_.erase(stagedIn);
    QByteArray whole = native(targetPath);
    if (whole.isEmpty())
        return {};
    if (!whole.startsWith('/')) {
        std::error_code ec;
        whole = QByteArray::fromStdString(fs::current_path(ec).native()) + '/' + whole;
        if (ec)
            return {};
    }
    // Walked as the kernel walks it, one opened folder after the other and
    // links followed where they stand, so that every folder the copy passes
    // through is looked at, and none is swapped under the look.
    std::deque<QByteArray> todo;
    for (const QByteArray &part : whole.split('/'))
        todo.push_back(part);
    Fd at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat atSt;
    if (at.fd < 0 || ::fstat(at.fd, &atSt) != 0)
        return {};
    QByteArray shown = "/"; // the folder as the box names it
    const auto keep = [&] {
        checked_[stagedIn] = std::shared_ptr<const int>(new int(std::exchange(at.fd, -1)), [](const int *fd) {
            ::close(*fd);
            delete fd;
        });
    };
    const uid_t me = ::geteuid();
    int links = 0;
    while (!todo.empty()) {
        const QByteArray name = todo.front();
        todo.pop_front();
        if (name.isEmpty() || name == ".")
            continue;
        Fd next(::openat(at.fd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (next.fd < 0 || ::fstat(next.fd, &st) != 0) {
            if (todo.empty() && errno == ENOENT)
                keep(); // the copy's name, yet to come
            return {}; // else the run makes the rest itself
        }
        const QByteArray nextShown = name == ".." ? shown.left(std::max<qsizetype>(shown.lastIndexOf('/'), 1))
                                                  : shown + (shown.endsWith('/') ? "" : "/") + name;
        const bool shared = (atSt.st_mode & S_ISVTX) && (atSt.st_mode & S_IWOTH);
        if (name != ".." && shared && st.st_uid != 0 && st.st_uid != me && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
            return fromNative(nextShown);
        if (S_ISLNK(st.st_mode)) {
            QByteArray dest(4096, Qt::Uninitialized);
            const ssize_t n = ::readlinkat(next.fd, "", dest.data(), size_t(dest.size()));
            if (n <= 0 || n >= dest.size() || ++links > 40)
                return {}; // the copy fails on its own
            dest.truncate(n);
            const QList<QByteArray> parts = dest.split('/');
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (dest.startsWith('/')) {
                at.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (at.fd < 0 || ::fstat(at.fd, &atSt) != 0)
                    return {};
                shown = "/";
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (todo.empty())
                keep();
            return {};
        }
        std::swap(at.fd, next.fd);
        atSt = st;
        shown = nextShown;
    }
    return {};
}

namespace fileops {

int openOwnFile(const QString &path, int flags)
{
    if (path.isEmpty())
        throw PlatformError(kErrFileNotFound);
    QByteArray whole = native(path);
    std::deque<QByteArray> todo;
    for (const QByteArray &part : whole.split('/'))
        todo.push_back(part);
    Fd at(::open(whole.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at.fd < 0)
        fail(errno, true);
    const uid_t me = ::geteuid();
    QByteArray shown = whole.startsWith('/') ? QByteArray("/") : QByteArray();
    int links = 0;
    while (!todo.empty()) {
        const QByteArray name = todo.front();
        todo.pop_front();
        if (name.isEmpty() || name == ".")
            continue;
        shown += (shown.isEmpty() || shown.endsWith('/') ? "" : "/") + name;
        Fd next(::openat(at.fd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (next.fd < 0 || ::fstat(next.fd, &st) != 0)
            fail(errno, true);
        if (S_ISLNK(st.st_mode)) {
            // A link of root's or ours was put there by whoever set the path
            // up; one of anybody else's could lead anywhere root may read.
            if (st.st_uid != 0 && st.st_uid != me)
                throw PlatformError(kErrPathFileAccess,
                                    errorText(kErrPathFileAccess) + QStringLiteral("他のユーザーのリンクです：\r")
                                        + fromNative(shown));
            QByteArray dest(4096, Qt::Uninitialized);
            const ssize_t n = ::readlinkat(next.fd, "", dest.data(), size_t(dest.size()));
            if (n <= 0 || n >= dest.size() || ++links > 40)
                fail(n < 0 ? errno : ELOOP, true);
            dest.truncate(n);
            const QList<QByteArray> parts = dest.split('/');
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (dest.startsWith('/')) {
                at.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (at.fd < 0)
                    fail(errno, true);
            }
            const qsizetype cut = shown.lastIndexOf('/');
            shown = dest.startsWith('/') ? QByteArray("/") : shown.left(cut <= 0 ? cut + 1 : cut);
            continue;
        }
        if (todo.empty() || !S_ISDIR(st.st_mode)) {
            // Never opened where it is no ordinary file: a pipe would wait,
            // a device may act on the open.
            if (!todo.empty())
                fail(ENOTDIR, true);
            if (!S_ISREG(st.st_mode))
                break;
            Fd file(::openat(at.fd, name.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat opened;
            if (file.fd < 0 && errno == EBUSY)
                throw SourceHeld();
            if (file.fd < 0 || ::fstat(file.fd, &opened) != 0)
                fail(errno, true);
            if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
                break;
            ::fcntl(file.fd, F_SETFL, ::fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
            return std::exchange(file.fd, -1);
        }
        std::swap(at.fd, next.fd);
    }
    throw PlatformError(kErrPathFileAccess,
                        errorText(kErrPathFileAccess) + QStringLiteral("通常のファイルではありません：\r") + path);
}

} // namespace fileops

void HostFileOps::checkSource(const QString &source)
{
    try {
        Fd fd(openOwnFile(source, O_RDONLY));
    } catch (const SourceHeld &) {
        // The running database holds it: read once the service has stopped.
    }
}

void HostFileOps::prepareTarget(const QString &target)
{
    struct stat st;
    // Followed through links: a device, pipe, socket or folder there would be
    // renamed aside and replaced by a copy.
    if (::stat(native(target).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    const qsizetype slash = target.lastIndexOf(u'/');
    if (slash >= 0) {
        const QString folder = trimSpaces(target.left(slash + 1));
        if (!folder.isEmpty() && !makeSureDirectoryPathExists(folder))
            throw PlatformError(kErrPathNotFound);
    }
    // A file beside the target, named as the staged copy will be: where the
    // path as typed does not lead into the folder made above, this fails.
    QByteArray probe = native(tempPrefix(target, kTempMarker)) + "XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        throw PlatformError(errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : errorNumberForErrno(errno, false));
    ::close(fd);
    ::unlink(probe.constData());
}

} // namespace zdb
