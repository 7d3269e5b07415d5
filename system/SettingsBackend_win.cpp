#include "SettingsBackend.h"

#include <QSettings>
#include <QStandardPaths>

namespace zdb {

QString QtSettingsBackend::defaultIniPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/QXN/QXN.ini");
}

// The user's store is the registry, where programs of this kind keep their
// application, section and key strings: one key per section, one value per
// key, so that settings stored there before are found.
QtSettingsBackend::QtSettingsBackend()
    : QtSettingsBackend(QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings"), true)
{
}

} // namespace zdb
