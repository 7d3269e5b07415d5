#include "RunLock.h"

#include "FileOps.h"
#include "PlatformError.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zdb {

HostRunLock::HostRunLock(QString path) : path_(std::move(path)) {}

HostRunLock::~HostRunLock() { release(); }

QString HostRunLock::defaultPath() { return QDir::tempPath() + QStringLiteral("/zorvatdbbackup-run.lock"); }

bool HostRunLock::tryAcquire(const QString &)
{
    if (fd_ >= 0)
        return true;
    // Read-only is enough to lock, so another user's lock file serves too;
    // no link is followed in the shared folder.
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        throw PlatformError(errorNumberForErrno(errno, false));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        throw PlatformError(errorNumberForErrno(err, false));
    }
    fd_ = fd;
    return true;
}

void HostRunLock::release()
{
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

} // namespace zdb
