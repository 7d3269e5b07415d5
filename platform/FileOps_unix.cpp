#include "FileOps.h"

#include "PlatformError.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zdb {

namespace fs = std::filesystem;

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

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

[[noreturn]] void fail(int err, bool sourceSide) { throw PlatformError(errorNumberForErrno(err, sourceSide)); }

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

// A rename is on disk only once its folder is.
void syncFolder(const QString &folder)
{
    Fd dir(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0 || ::fsync(dir.fd) != 0)
        fail(errno, false);
}

// Creates an empty temporary file beside target, returning its descriptor.
int makeTempBeside(const QString &target, QString *tempPath)
{
    const qsizetype slash = target.lastIndexOf(u'/');
    QString name = target.mid(slash + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    const QString prefix = slash < 0 ? QString() : target.left(slash + 1);
    // Keep within the 255 bytes a folder entry may have.
    const QString tail = QString::fromLatin1(kTempMarker) + QStringLiteral("XXXXXX");
    while (native(u'.' + name + tail).size() > 255)
        name.chop(1);
    QByteArray templ = native(prefix + u'.' + name + tail);
    const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        fail(errno, false);
    *tempPath = QFile::decodeName(templ);
    return fd;
}

// Copies all of src to dst: a reflink where the file system shares blocks,
// else the kernel's copy offload, else plain reads and writes.
void copyContents(int src, int dst, off_t size)
{
    if (::ioctl(dst, FICLONE, src) == 0)
        return;
    off_t done = 0;
    bool offload = true;
    while (offload && done < size) {
        const ssize_t n = ::copy_file_range(src, nullptr, dst, nullptr, size_t(size - done), 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (done == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            offload = false;
        else
            fail(errno, false);
    }
    if (offload) {
        if (done < size)   // the source shrank under us: the copy would be short
            throw PlatformError(kErrDiskIo);
        return;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(src, buffer.data(), buffer.size());
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, true);
        }
        for (ssize_t off = 0; off < n;) {
            const ssize_t w = ::write(dst, buffer.data() + off, size_t(n - off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail(errno, false);
            }
            off += w;
        }
    }
}

bool renameExchange(const QString &a, const QString &b)
{
    return ::renameat2(AT_FDCWD, native(a).constData(), AT_FDCWD, native(b).constData(), RENAME_EXCHANGE) == 0;
}

void renameOver(const QString &from, const QString &to)
{
    if (::rename(native(from).constData(), native(to).constData()) != 0)
        fail(errno, false);
}

} // namespace

void HostFileOps::removeFile(const QString &path)
{
    if (path.isEmpty())
        throw PlatformError(kErrFileNotFound);
    struct stat st;
    if (::lstat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    if (::unlink(native(path).constData()) != 0)
        fail(errno, true);
}

void HostFileOps::copyFile(const QString &from, const QString &to)
{
    const QString staged = stageCopy(from, to);
    try {
        swapIntoPlace(staged, to);
    } catch (...) {
        discard(staged);
        throw;
    }
    discard(staged);   // the previous file, if there was one
}

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
    const QString folder = slash == 0 ? QStringLiteral("/") : folderPath.left(slash);
    std::error_code ec;
    fs::create_directories(fs::path(native(folder).toStdString()), ec);
    struct stat st;
    return ::stat(native(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode);
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

QString HostFileOps::stageCopy(const QString &from, const QString &target)
{
    if (from.isEmpty())
        throw PlatformError(kErrFileNotFound);
    Fd src(::open(native(from).constData(), O_RDONLY | O_CLOEXEC));
    if (src.fd < 0)
        fail(errno, true);
    struct stat st;
    if (::fstat(src.fd, &st) != 0)
        fail(errno, true);
    if (!S_ISREG(st.st_mode))
        throw PlatformError(kErrFileNotFound);

    QString temp;
    Fd dst(makeTempBeside(target, &temp));
    try {
        copyContents(src.fd, dst.fd, st.st_size);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(dst.fd, st.st_mode & 07777) != 0 || ::futimens(dst.fd, times) != 0 || ::fsync(dst.fd) != 0)
            fail(errno, false);
        const int fd = dst.fd;
        dst.fd = -1;
        if (::close(fd) != 0)
            fail(errno, false);
    } catch (...) {
        ::unlink(native(temp).constData());
        throw;
    }
    return temp;
}

bool HostFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    struct stat st;
    bool had = false;
    if (::lstat(native(target).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw PlatformError(kErrPathFileAccess);
        if (renameExchange(staged, target))
            had = true;
        else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            renameOver(staged, target);   // no exchange here: the old file cannot come back
        else
            fail(errno, false);
    } else {
        renameOver(staged, target);
    }
    try {
        syncFolder(folderOf(target));
    } catch (...) {
        // Report the swap as not made, so the caller's view stays true.
        if (had)
            renameExchange(staged, target);
        else
            ::rename(native(target).constData(), native(staged).constData());
        throw;
    }
    return had;
}

void HostFileOps::swapBack(const QString &staged, const QString &target, bool hadPrevious)
{
    if (hadPrevious) {
        if (!renameExchange(staged, target))
            fail(errno, false);
    } else {
        renameOver(target, staged);
    }
    syncFolder(folderOf(target));
}

QString HostFileOps::moveAside(const QString &target)
{
    struct stat st;
    if (target.isEmpty() || ::lstat(native(target).constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return {};
    QString aside;
    ::close(makeTempBeside(target, &aside));
    try {
        renameOver(target, aside);
    } catch (...) {
        ::unlink(native(aside).constData());
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
}

void HostFileOps::discard(const QString &path) noexcept
{
    if (!path.isEmpty())
        ::unlink(native(path).constData());
}

} // namespace zdb
