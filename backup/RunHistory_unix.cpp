#include "RunHistory.h"

#include "Fd_unix.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zdb {

namespace {

bool syncFolder(const QString &folder)
{
    const Fd dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.fd >= 0 && ::fsync(dir.fd) == 0;
}

} // namespace

bool runStillGoing(const HistoryRecord &record)
{
    if (!record.open || record.pid <= 0 || (::kill(pid_t(record.pid), 0) != 0 && errno != EPERM))
        return false;
    // A number the system has since given to another program is not the run.
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(record.pid));
    return exe.isEmpty() || exe == QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

bool RunHistory::append(const HistoryRecord &record) const
{
    if (!QDir().mkpath(folder_))
        return false;
    // Runs of different services may end at once: one writer at a time, so
    // that the turn to the older file loses nothing.
    const Fd lock(
        ::open(QFile::encodeName(path() + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0)
        return false;
    while (::flock(lock.fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    const QByteArray name = QFile::encodeName(path());
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && st.st_size >= kBoundBytes) {
        if (::rename(name.constData(), QFile::encodeName(path() + QStringLiteral(".1")).constData()) != 0)
            return false;
    }
    // Readable too: its last byte tells whether a torn line needs ending.
    const Fd fd(::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (fd.fd < 0)
        return false;
    // A line torn by a crash ends without a newline; start ours on a fresh one.
    QByteArray line = record.toLine();
    if (::fstat(fd.fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd.fd, &last, 1, st.st_size - 1) < 0 || last != '\n')
            line.prepend('\n');
    }
    for (qsizetype off = 0; off < line.size();) {
        const ssize_t n = ::write(fd.fd, line.constData() + off, size_t(line.size() - off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += n;
    }
    return ::fsync(fd.fd) == 0 && syncFolder(folder_);
}

} // namespace zdb
