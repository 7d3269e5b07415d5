#pragma once

#include "FileDigest.h"
#include "FileOps.h"

#include <QString>
#include <QStringList>

namespace zdb {

// A backup copy staged beside a database file for a restore.
struct RestoreStage {
    QString path;
    FileDigest read; // of the bytes read from the copy
    bool readBackEqual = false; // the staged file, read back from the disk, digests as read
};

// The file operations of a restore: staging beside the database's files,
// renames that are on disk before they return. Failures throw PlatformError.
class RestoreFiles {
public:
    virtual ~RestoreFiles() = default;
    // The size of an ordinary file; -1 where nothing stands, -2 where
    // something other than an ordinary file does.
    virtual qint64 regularFileSize(const QString &path) = 0;
    // Anything at the name, a dangling link included.
    virtual bool present(const QString &path) = 0;
    virtual FreeSpace freeSpace(const QString &path) = 0;
    // Copies `from` to a new hidden file beside `beside`, owned and
    // permitted as `ownerLike` (a file, else its folder), digesting what it
    // read; then puts it on disk and reads it back from the disk. `named`
    // hears the new file's name before anything is written to it.
    virtual RestoreStage stage(const QString &from, const QString &beside, const QString &ownerLike,
                               const std::function<void(const QString &)> &named) = 0;
    // Renames, never over a file that stands at `to`, and flushes the folder.
    virtual void rename(const QString &from, const QString &to) = 0;
    // Removes a file and flushes its folder; failures are ignored.
    virtual void remove(const QString &path) noexcept = 0;
    // The staged files an interrupted restore left beside `beside`.
    virtual QStringList leftovers(const QString &beside) = 0;
};

// Staged restores are named ".<name>.zdbrestore-XXXXXX" beside the database file.
inline constexpr char kRestoreMarker[] = ".zdbrestore-";

// The host's files (RestoreFiles_unix.cpp).
class HostRestoreFiles : public RestoreFiles {
public:
    qint64 regularFileSize(const QString &path) override;
    bool present(const QString &path) override;
    FreeSpace freeSpace(const QString &path) override;
    RestoreStage stage(const QString &from, const QString &beside, const QString &ownerLike,
                       const std::function<void(const QString &)> &named) override;
    void rename(const QString &from, const QString &to) override;
    void remove(const QString &path) noexcept override;
    QStringList leftovers(const QString &beside) override;
};

} // namespace zdb
