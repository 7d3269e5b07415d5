#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace zdb {

// The per-user store of strings addressed by application, section and key.
class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    // The stored string, or def when the section or key does not exist.
    virtual QString read(const QString &app, const QString &section, const QString &key, const QString &def) = 0;
    virtual void write(const QString &app, const QString &section, const QString &key, const QString &value) = 0;
    // Puts what was written on disk; false when the store could not be written.
    virtual bool flush() = 0;
    // Where the store lives, for messages to the user.
    virtual QString location() const = 0;
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

    // The INI path used for the user's store on this system.
    static QString defaultIniPath();

private:
    std::unique_ptr<QSettings> settings_;
};

// Any text as one level of a settings path: "/" and "\" would otherwise open
// a sub-group, so they and "%" are escaped.
QString escapeSettingsName(const QString &name);

} // namespace zdb
