#include "RunRecords.h"

#include "RunHistory.h"
#include "SystemInfo.h"

#include <QDir>
#include <QFile>

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

void removeFileDurably(const QString &folder, const QString &path) noexcept
{
    if (!QFile::remove(path))
        return;
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace zdb
