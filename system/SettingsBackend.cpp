#include "SettingsBackend.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace zdb {

QString escapeSettingsName(const QString &name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        switch (c.unicode()) {
        case u'%': out += QStringLiteral("%25"); break;
        case u'/': out += QStringLiteral("%2F"); break;
        case u'\\': out += QStringLiteral("%5C"); break;
        default: out += c;
        }
    }
    // An empty level would vanish from the path.
    return out.isEmpty() ? QStringLiteral("%") : out;
}

namespace {

QString keyPath(const QString &app, const QString &section, const QString &key)
{
    return escapeSettingsName(app) + u'/' + escapeSettingsName(section) + u'/' + escapeSettingsName(key);
}

} // namespace

QtSettingsBackend::QtSettingsBackend(const QString &iniPath)
    : settings_(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

QtSettingsBackend::~QtSettingsBackend() = default;

QString QtSettingsBackend::read(const QString &app, const QString &section, const QString &key, const QString &def)
{
    const QVariant v = settings_->value(keyPath(app, section, key));
    return v.isValid() ? v.toString() : def;
}

void QtSettingsBackend::write(const QString &app, const QString &section, const QString &key, const QString &value)
{
    settings_->setValue(keyPath(app, section, key), value);
}

bool QtSettingsBackend::flush()
{
    if (settings_->format() == QSettings::IniFormat) {
        // QSettings does not create a missing folder on every system.
        QDir().mkpath(QFileInfo(settings_->fileName()).absolutePath());
    }
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

QString QtSettingsBackend::location() const { return settings_->fileName(); }

} // namespace zdb
