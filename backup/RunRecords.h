#pragma once

#include <QString>
#include <QStringList>

namespace zdb {

// What a run leaves in the user's state folder for the next start:
// a mark for each service it may have left stopped, and the outcome of a
// run whose window had gone before it finished.
class RunRecords {
public:
    explicit RunRecords(QString folder);
    // $XDG_STATE_HOME (else ~/.local/state), in a folder of this program's.
    static QString defaultFolder();
    const QString &folder() const { return folder_; }

    // Written and on disk before it returns; throws PlatformError otherwise.
    void markServiceDown(const QString &service);
    void clearServiceDown(const QString &service) noexcept;
    // The services with a mark, in no particular order.
    QStringList servicesMarkedDown() const;

    // What a restore of the service has done so far (its own JSON), on disk
    // before it returns; throws PlatformError otherwise.
    void markRestore(const QString &service, const QByteArray &state);
    QByteArray restoreMark(const QString &service) const; // empty: none
    void clearRestore(const QString &service) noexcept;
    QStringList servicesMidRestore() const;

    struct Outcome {
        QString finalText;
        QStringList messages;
    };
    // The outcome is kept until the window has shown it.
    void keepOutcome(const Outcome &outcome) noexcept;
    void forgetOutcome() noexcept;
    bool takeOutcome(Outcome *outcome);

private:
    QString markPath(const QString &service) const;
    QString restorePath(const QString &service) const;
    QString folder_;
};

// Writes the whole file beside path, puts it on disk and renames it over path,
// the folder made first and flushed after. False on any failure, errno set.
bool writeFileDurably(const QString &folder, const QString &path, const QByteArray &bytes);
// Removes path and puts its removal on disk.
void removeFileDurably(const QString &folder, const QString &path) noexcept;

} // namespace zdb
