#include "SettingsBackend.h"

#include <QSettings>
#include <QStandardPaths>

namespace zdb {

QString QtSettingsBackend::defaultIniPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/QXN/QXN.ini");
}

// The user's store is an INI file in the configuration folder.
QtSettingsBackend::QtSettingsBackend() : QtSettingsBackend(defaultIniPath()) {}

} // namespace zdb
