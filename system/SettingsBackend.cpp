#include "SettingsBackend.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <utility>

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

QtSettingsBackend::QtSettingsBackend(const QString &iniPath) : QtSettingsBackend(iniPath, false) {}

QtSettingsBackend::QtSettingsBackend(const QString &location, bool native)
    : location_(native ? location : QFileInfo(location).absoluteFilePath()), native_(native)
{
}

QtSettingsBackend::~QtSettingsBackend() = default;

// QSettings works only on private copies of the INI file. It keeps what it has
// read, and what it failed to write, for every later QSettings on the same
// path: on the file itself it would show values that were never stored, and
// a file it could not read as sound once it had read it. The copy lies in a
// private folder of its own: Windows lets nothing replace a temporary file
// while its QTemporaryFile lives, and QSettings writes by replacing.
std::unique_ptr<QTemporaryDir> QtSettingsBackend::copyOfFile()
{
    auto folder = std::make_unique<QTemporaryDir>();
    QFile copy(copyPath(*folder));
    if (!folder->isValid() || !copy.open(QIODevice::WriteOnly))
        return nullptr;
    // QSettings would open a pipe or a device and block, or read without end.
    const QFileInfo file(location_);
    if (file.exists()) {
        if (!file.isFile()) {
            fault_ = SettingsFault::NotAFile;
            return nullptr;
        }
        QFile current(location_);
        if (!current.open(QIODevice::ReadOnly) || copy.write(current.readAll()) != current.size()) {
            fault_ = SettingsFault::Unreadable;
            return nullptr;
        }
    }
    copy.close();
    return folder;
}

QString QtSettingsBackend::copyPath(const QTemporaryDir &folder) { return folder.filePath(QStringLiteral("copy.ini")); }

QSettings *QtSettingsBackend::reader()
{
    if (reader_)
        return reader_.get();
    if (native_) {
        reader_ = std::make_unique<QSettings>(location_, QSettings::NativeFormat);
        return reader_.get();
    }
    fault_ = SettingsFault::None;
    auto copy = copyOfFile();
    if (!copy)
        return nullptr;
    auto settings = std::make_unique<QSettings>(copyPath(*copy), QSettings::IniFormat);
    // Sections are parsed when first used: all of them now, so that a file
    // that is not settings shows as such before anything is read from it.
    settings->allKeys();
    if (settings->status() != QSettings::NoError) {
        fault_ = SettingsFault::Unreadable;
        return nullptr;
    }
    reader_ = std::move(settings);
    return reader_.get();
}

QString QtSettingsBackend::read(const QString &app, const QString &section, const QString &key, const QString &def)
{
    const QString path = keyPath(app, section, key);
    if (const auto it = pending_.constFind(path); it != pending_.cend())
        return *it;
    QSettings *settings = reader();
    const QVariant v = settings ? settings->value(path) : QVariant();
    return v.isValid() ? v.toString() : def;
}

QMap<QString, QString> QtSettingsBackend::readEverySection(const QString &app, const QString &key)
{
    QMap<QString, QString> values;
    QSettings *settings = reader();
    if (!settings)
        return values;
    settings->beginGroup(escapeSettingsName(app));
    for (const QString &section : settings->childGroups())
        if (const QVariant v = settings->value(section + u'/' + escapeSettingsName(key)); v.isValid())
            values.insert(section, v.toString());
    settings->endGroup();
    return values;
}

void QtSettingsBackend::write(const QString &app, const QString &section, const QString &key, const QString &value)
{
    pending_.insert(keyPath(app, section, key), value);
}

bool QtSettingsBackend::flush()
{
    // Stored or not, the values are settled: later reads show the store.
    const QMap<QString, QString> values = std::exchange(pending_, {});
    // Looked at afresh: what is there now is what gets written into.
    reader_.reset();
    if (!reader())
        return false;
    reader_.reset();
    return native_ ? writeNative(values) : writeIni(values);
}

bool QtSettingsBackend::writeNative(const QMap<QString, QString> &values)
{
    QSettings settings(location_, QSettings::NativeFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool QtSettingsBackend::writeIni(const QMap<QString, QString> &values)
{
    const auto copy = copyOfFile();
    if (!copy)
        return false;
    {
        QSettings settings(copyPath(*copy), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    QFile written(copyPath(*copy));
    if (!written.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = written.readAll();
    // QSettings does not create a missing folder on every system.
    const QFileInfo target(location_);
    if (!QDir().mkpath(target.absolutePath()))
        return false;
    const bool created = !target.exists();
    QSaveFile out(location_);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit())
        return false;
    // The user's own, as QSettings makes it.
    if (created)
        QFile::setPermissions(location_, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

SettingsFault QtSettingsBackend::fault()
{
    reader();
    return fault_;
}

QString QtSettingsBackend::location() const
{
    return native_ ? QSettings(location_, QSettings::NativeFormat).fileName() : location_;
}

} // namespace zdb
