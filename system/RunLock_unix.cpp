#include "RunLock.h"

#include "FileOps.h"
#include "PlatformError.h"
#include "SystemInfo.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zdb {

namespace {

// A unit's lock file: its name in hex where that fits, else a digest of it,
// marked apart so the two never meet.
QString fileName(const QString &unit)
{
    const QByteArray name = unit.toUtf8();
    if (name.size() <= 100)
        return QStringLiteral("run-") + QString::fromLatin1(name.toHex()) + QStringLiteral(".lock");
    return QStringLiteral("run#")
        + QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex())
        + QStringLiteral(".lock");
}

// A failure of the lock, naming its folder.
[[noreturn]] void lockFailure(int number, const QString &folder)
{
    throw PlatformError(number, errorText(number) + QStringLiteral("ロックのフォルダー：\r") + folder);
}

// A folder of this user's alone: owned by it, written by nobody else.
bool ownFolder(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & 022) == 0;
}

// The folder made if missing, and then trusted only if it is a folder of
// ours that nobody else may write to.
void makeSafeFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::geteuid() != 0 || folder != HostRunLock::machineFolder())
        QDir().mkpath(QFileInfo(folder).path());
    if (::mkdir(path.constData(), ::geteuid() == 0 && folder == HostRunLock::machineFolder() ? 0755 : 0700) != 0
        && errno != EEXIST)
        lockFailure(errorNumberForErrno(errno, false), folder);
    if (!ownFolder(path))
        lockFailure(kErrPermissionDenied, folder);
}

constexpr char kRootFolder[] = "/run/zorvatdbbackup";

// Whether a root run holds the unit's lock. Another user may not open root's
// lock file, but sees the kernel's list of locks and the file's identity.
bool heldByRoot(const QString &file)
{
    struct stat st {};
    if (::stat(QFile::encodeName(QString::fromLatin1(kRootFolder) + u'/' + file).constData(), &st) != 0)
        return false;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray id = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.contains("FLOCK") && fields.contains(id) && !fields.contains("->"))
            return true;
    }
    return false;
}

} // namespace

QString HostRunLock::machineFolder()
{
    if (::geteuid() == 0)
        return QString::fromLatin1(kRootFolder);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime))
        return runtime + QStringLiteral("/zorvatdbbackup");
    // Without a session's variables (su, cron, ssh): the session's folder
    // where the user has one, so that such runs meet the window's; else a
    // folder in the user's own state folder, which no other user can make
    // first as one could in /tmp.
    const QString session = QStringLiteral("/run/user/") + QString::number(::geteuid());
    if (ownFolder(QFile::encodeName(session)))
        return session + QStringLiteral("/zorvatdbbackup");
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = userHomeFolder() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/zorvatdbbackup/lock");
}

HostRunLock::HostRunLock() : folder_(machineFolder()), besideRoot_(::geteuid() != 0) {}

HostRunLock::HostRunLock(const QString &folder) : folder_(folder) {}

HostRunLock::~HostRunLock() { release(); }

bool HostRunLock::tryAcquire(const QString &serviceName)
{
    if (fd_ >= 0 && held_ == serviceName)
        return true;
    release();
    if (besideRoot_ && heldByRoot(fileName(serviceName)))
        return false;
    makeSafeFolder(folder_);
    // Close-on-exec: the service commands started meanwhile must not hold it.
    const QByteArray path = QFile::encodeName(folder_ + u'/' + fileName(serviceName));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        lockFailure(errorNumberForErrno(errno, false), folder_);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        lockFailure(kErrPathFileAccess, folder_);
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        lockFailure(errorNumberForErrno(err, false), folder_);
    }
    fd_ = fd;
    held_ = serviceName;
    return true;
}

void HostRunLock::release()
{
    if (fd_ < 0)
        return;
    // The file stays: removing it would let a second holder lock a new one.
    ::close(fd_);
    fd_ = -1;
    held_.clear();
}

} // namespace zdb
