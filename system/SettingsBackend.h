#pragma once

#include <QMap>
#include <QString>
#include <memory>

class QSettings;
class QTemporaryDir;

namespace zdb {

// Why a store cannot be read: it holds something that is not settings (or
// cannot be opened), or it is not an ordinary file at all (a folder, a pipe).
enum class SettingsFault { None, Unreadable, NotAFile };

// The per-user store of strings addressed by application, section and key.
class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    // The stored string, or def when the section or key does not exist or the
    // store cannot be read.
    virtual QString read(const QString &app, const QString &section, const QString &key, const QString &def) = 0;
    virtual void write(const QString &app, const QString &section, const QString &key, const QString &value) = 0;
    // Puts what was written on disk; false when the store could not be
    // written. Either way the values written since the last flush are
    // settled: after a failure, reads show what the store holds.
    virtual bool flush() = 0;
    // Where the store lives, for messages to the user.
    virtual QString location() const = 0;
    // Whether the store can be read as it stands now.
    virtual SettingsFault fault() { return SettingsFault::None; }
};

// QSettings: one INI file per user on Unix, the registry on Windows.
class QtSettingsBackend : public SettingsBackend {
public:
    // The user's own store.
    QtSettingsBackend();
    // An INI file at the given path (tests, another user's store).
    explicit QtSettingsBackend(const QString &iniPath);
    ~QtSettingsBackend() override;

    QString read(const QString &app, const QString &section, const QString &key, const QString &def) override;
    void write(const QString &app, const QString &section, const QString &key, const QString &value) override;
    bool flush() override;
    QString location() const override;
    SettingsFault fault() override;

    // The INI path used for the user's store on this system.
    static QString defaultIniPath();
    // The value of `key` in every section of `app` that holds one, by the
    // section's name as stored.
    QMap<QString, QString> readEverySection(const QString &app, const QString &key);

private:
    QtSettingsBackend(const QString &location, bool native);
    // The store as it stands, or null when it cannot be read (fault_ says why).
    QSettings *reader();
    // A private copy of the INI file (empty where there is none), or null.
    std::unique_ptr<QTemporaryDir> copyOfFile();
    static QString copyPath(const QTemporaryDir &folder);
    bool writeIni(const QMap<QString, QString> &values);
    bool writeNative(const QMap<QString, QString> &values);

    QString location_;
    bool native_ = false; // the registry rather than an INI file
    std::unique_ptr<QSettings> reader_;
    SettingsFault fault_ = SettingsFault::None;
    // Written and not yet flushed, by settings path.
    QMap<QString, QString> pending_;
};

// Any text as one level of a settings path: "/" and "\" would otherwise open
// a sub-group, so they and "%" are escaped.
QString escapeSettingsName(const QString &name);

} // namespace zdb
