#include "SystemInfo.h"

#include <QFile>

#include <pwd.h>
#include <unistd.h>

namespace zdb {

namespace {

QByteArray homeOfEffectiveUser()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry && entry->pw_dir ? QByteArray(entry->pw_dir) : QByteArray();
}

} // namespace

QString userHomeFolder()
{
    const QByteArray home = qgetenv("HOME");
    return QFile::decodeName(home.isEmpty() ? homeOfEffectiveUser() : home);
}

void setHomeFromUserDatabase()
{
    if (!qgetenv("HOME").isEmpty())
        return;
    const QByteArray home = homeOfEffectiveUser();
    if (!home.isEmpty())
        ::setenv("HOME", home.constData(), 1);
}

} // namespace zdb
