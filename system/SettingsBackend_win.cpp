#include "SettingsBackend.h"

#include <QSettings>
#include <QStandardPaths>

namespace zdb {

QString QtSettingsBackend::defaultIniPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/QXN/QXN.ini");
}

// The user's store is the registry.
QtSettingsBackend::QtSettingsBackend()
    : settings_(
        std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software\\QXN"), QSettings::NativeFormat))
{
}

} // namespace zdb
