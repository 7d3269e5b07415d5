#include "RunRecords.h"

#include "SystemInfo.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace zdb {

QString RunRecords::defaultFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = userHomeFolder() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/zorvatdbbackup");
}

// Writes the whole file and puts it and its name on disk.
bool writeFileDurably(const QString &folder, const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".new"));
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    for (qsizetype off = 0; ok && off < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + off, size_t(bytes.size() - off));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        off += n > 0 ? n : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}

} // namespace zdb
