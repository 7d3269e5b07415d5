#include "FileOps.h"

#include "PlatformError.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zdb {

void HostFileOps::checkSource(const QString &source)
{
    if (source.isEmpty())
        throw PlatformError(kErrFileNotFound);
    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw PlatformError(errorNumberForErrno(errno, true));
    struct stat st;
    const bool ordinary = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!ordinary)
        throw PlatformError(kErrPathFileAccess);
}

void HostFileOps::prepareTarget(const QString &target)
{
    const QByteArray path = QFile::encodeName(target);
    struct stat st;
    if (::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    const qsizetype slash = target.lastIndexOf(u'/');
    if (slash >= 0 && !makeSureDirectoryPathExists(target.left(slash + 1)))
        throw PlatformError(kErrPathNotFound);
    // A file beside the target, named as the staged copy will be.
    const QString folder = slash < 0 ? QString() : target.left(slash + 1);
    QByteArray probe =
        QFile::encodeName(folder + u'.' + target.mid(slash + 1) + QString::fromLatin1(kTempMarker)) + "XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        throw PlatformError(errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : errorNumberForErrno(errno, false));
    ::close(fd);
    ::unlink(probe.constData());
}

} // namespace zdb
