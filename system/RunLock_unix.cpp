#include "RunLock.h"

#include "FileOps.h"
#include "PlatformError.h"

#include <QCryptographicHash>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zdb {

namespace {

// The abstract name of a service's lock: readable where it fits, else a
// digest of the name, marked apart so the two never meet.
QByteArray socketName(const QByteArray &scope, const QString &serviceName)
{
    const QByteArray name = scope + serviceName.toUtf8();
    QByteArray plain = QByteArrayLiteral("zorvatdbbackup-run:") + name;
    if (plain.size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return plain;
    return QByteArrayLiteral("zorvatdbbackup-run#")
        + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex();
}

} // namespace

HostRunLock::HostRunLock(const QString &scope) : scope_(scope.toUtf8() + ':') {}

HostRunLock::~HostRunLock() { release(); }

bool HostRunLock::tryAcquire(const QString &serviceName)
{
    const QByteArray name = socketName(scope_, serviceName);
    if (fd_ >= 0 && held_ == name)
        return true;
    release();
    // Close-on-exec: the service commands started meanwhile must not hold it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw PlatformError(errorNumberForErrno(errno, false));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A leading NUL makes the name abstract: no file behind it.
    std::memcpy(addr.sun_path + 1, name.constData(), size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), length) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EADDRINUSE)
            return false;
        throw PlatformError(errorNumberForErrno(err, false));
    }
    fd_ = fd;
    held_ = name;
    return true;
}

void HostRunLock::release()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    held_.clear();
}

} // namespace zdb
