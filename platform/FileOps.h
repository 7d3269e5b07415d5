#pragma once

#include <QString>

namespace zdb {

// File operations on full paths ("/" separates folders on Linux). Failures
// throw PlatformError with a catalogue number: 53 file not found, 76 path not
// found, 70 cannot write, 61 disk full, 75 invalid path, 57 device I/O.
class FileOps {
public:
    virtual ~FileOps() = default;

    virtual void removeFile(const QString &path) = 0;
    // Replaces a file at `to`; on failure `to` is as it was.
    virtual void copyFile(const QString &from, const QString &to) = 0;
    // True for an ordinary file; a folder counts as missing.
    virtual bool fileExists(const QString &path) = 0;
    // Creates every missing folder up to the last "/" of folderPath; false on failure.
    virtual bool makeSureDirectoryPathExists(const QString &folderPath) = 0;
    // The same file, whether by the same path, another path or a link.
    virtual bool sameFile(const QString &a, const QString &b) = 0;

    // Copies `from` to a new temporary file beside `target`, on disk, and
    // returns its path; `target` is not touched.
    virtual QString stageCopy(const QString &from, const QString &target) = 0;
    // Puts the staged file at `target` in one step. Returns true when a file
    // stood there before: it is now at the staged path, to discard or swap back.
    virtual bool swapIntoPlace(const QString &staged, const QString &target) = 0;
    // Undoes swapIntoPlace.
    virtual void swapBack(const QString &staged, const QString &target, bool hadPrevious) = 0;
    // Moves a file at `target` to a temporary name beside it and returns that
    // name; "" when there is no file there.
    virtual QString moveAside(const QString &target) = 0;
    virtual void moveBack(const QString &aside, const QString &target) = 0;
    // Removes a temporary file; "" and failures are ignored.
    virtual void discard(const QString &path) noexcept = 0;
};

// Temporary files beside a target are named ".<name>.zdbtmp-XXXXXX".
inline constexpr char kTempMarker[] = ".zdbtmp-";

// The host's files (FileOps_unix.cpp).
class HostFileOps : public FileOps {
public:
    void removeFile(const QString &path) override;
    void copyFile(const QString &from, const QString &to) override;
    bool fileExists(const QString &path) override;
    bool makeSureDirectoryPathExists(const QString &folderPath) override;
    bool sameFile(const QString &a, const QString &b) override;
    QString stageCopy(const QString &from, const QString &target) override;
    bool swapIntoPlace(const QString &staged, const QString &target) override;
    void swapBack(const QString &staged, const QString &target, bool hadPrevious) override;
    QString moveAside(const QString &target) override;
    void moveBack(const QString &aside, const QString &target) override;
    void discard(const QString &path) noexcept override;
};

// The catalogue number for an errno; sourceSide reads a missing file as 53
// rather than a missing path (76).
int errorNumberForErrno(int err, bool sourceSide);

} // namespace zdb
