#include "RunHistory.h"

#include "Fd_unix.h"
#include "Text.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace zdb {

namespace {

QString bootId()
{
    QFile f(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.read(64).trimmed()) : QString();
}

// When the process started, in clock ticks after the boot; -1 when it is gone.
qint64 startTicks(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    // The name in parentheses may hold anything; the fields follow its end.
    const QByteArray stat = f.read(4096);
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 1).simplified().split(' ');
    bool ok = false;
    const qint64 ticks = fields.size() > 19 ? fields[19].toLongLong(&ok) : -1;
    return ok ? ticks : -1;
}

QString notRegularText() { return QStringLiteral("通常のファイルではありません。(not a regular file)"); }

QString errorText(int err) { return err == ELOOP ? notRegularText() : QString::fromLocal8Bit(std::strerror(err)); }

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype off = 0; off < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + off, size_t(bytes.size() - off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += n;
    }
    return true;
}

} // namespace

bool runStillGoing(const HistoryRecord &record)
{
    if (!record.open || record.pid <= 0)
        return false;
    if (!record.bootId.isEmpty())
        return record.bootId == bootId() && record.pidStart == startTicks(record.pid);
    // A record that does not name its boot: the number must still run this
    // program, as far as can be seen.
    if (::kill(pid_t(record.pid), 0) != 0 && errno != EPERM)
        return false;
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(record.pid));
    return !exe.isEmpty() && exe == QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

void nameThisRun(HistoryRecord *record)
{
    record->pid = ::getpid();
    record->bootId = bootId();
    record->pidStart = startTicks(record->pid);
}

bool readRegularFile(const QString &path, QByteArray *bytes, QString *fault)
{
    // A pipe or a link another user put there is neither waited on nor followed.
    const Fd fd(::open(pathBytes(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    int err = fd.fd < 0 ? errno : ::fstat(fd.fd, &st) != 0 ? errno : 0;
    if (err == ENOENT)
        return true;
    if (err == 0 && !S_ISREG(st.st_mode))
        err = ELOOP;
    for (char buffer[65536]; err == 0;) {
        const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n > 0)
            bytes->append(buffer, n);
        else if (errno != EINTR)
            err = errno;
    }
    *fault = path + QStringLiteral(": ") + errorText(err);
    return false;
}

bool RunHistory::appendLine(QByteArray line, QString *fault) const
{
    const auto failed = [&](const QString &name, int err) {
        if (fault)
            *fault = name + QStringLiteral(": ") + errorText(err);
        return false;
    };
    if (!QDir().mkpath(folder_))
        return failed(folder_, errno);
    const Fd dir(::open(pathBytes(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return failed(folder_, errno);
    // Runs of different services may end at once: one writer at a time, so
    // that the turn to the older file loses nothing.
    const Fd lock(::openat(dir.fd, "history.jsonl.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (lock.fd < 0)
        return failed(path() + QStringLiteral(".lock"), errno);
    while (::flock(lock.fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return failed(path() + QStringLiteral(".lock"), errno);
    const QByteArray name = pathBytes(name_), older = name + ".1";
    struct stat st {};
    if (::fstatat(dir.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
        && st.st_size >= kBoundBytes) {
        if (::renameat(dir.fd, name.constData(), dir.fd, older.constData()) != 0)
            return failed(path() + QStringLiteral(".1"), errno);
    }
    // Readable too: its last byte tells whether a torn line needs ending.
    const Fd fd(
        ::openat(dir.fd, name.constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0)
        return failed(path(), errno);
    if (!S_ISREG(st.st_mode))
        return failed(path(), ELOOP);
    // A line torn by a crash ends without a newline; start ours on a fresh one.
    if (st.st_size > 0) {
        char last = '\n';
        if (::pread(fd.fd, &last, 1, st.st_size - 1) < 0 || last != '\n')
            line.prepend('\n');
    }
    if (!writeAll(fd.fd, line) || ::fsync(fd.fd) != 0 || ::fsync(dir.fd) != 0)
        return failed(path(), errno);
    return true;
}

bool replaceRegularFile(const QString &path, const QByteArray &bytes, int mode, QString *error)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const QByteArray folder = pathBytes(slash < 0        ? QStringLiteral(".")
                                            : slash == 0 ? QStringLiteral("/")
                                                         : path.left(slash));
    const QByteArray name = pathBytes(path.mid(slash + 1));
    const Fd dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (dir.fd < 0) {
        *error = errorText(errno);
        return false;
    }
    // A link there is replaced by the rename at most, never written through;
    // but whoever put it there meant something else: say so.
    if (::fstatat(dir.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        *error = notRegularText();
        return false;
    }
    QByteArray temp;
    Fd out(-1);
    for (int tries = 0; out.fd < 0 && tries < 100; ++tries) {
        temp = '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        out.reset(::openat(dir.fd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.fd < 0 && errno != EEXIST)
            break;
    }
    if (out.fd < 0) {
        *error = errorText(errno);
        return false;
    }
    bool ok = ::fchmod(out.fd, mode_t(mode)) == 0 && writeAll(out.fd, bytes) && ::fsync(out.fd) == 0;
    const int closed = ::close(std::exchange(out.fd, -1));
    ok = ok && closed == 0 && ::renameat(dir.fd, temp.constData(), dir.fd, name.constData()) == 0;
    if (!ok) {
        const int err = errno;
        *error = errorText(err);
        ::unlinkat(dir.fd, temp.constData(), 0);
        errno = err;
        return false;
    }
    if (::fsync(dir.fd) != 0) {
        *error = errorText(errno);
        return false;
    }
    return true;
}

} // namespace zdb
