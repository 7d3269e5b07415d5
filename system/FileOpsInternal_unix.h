#pragma once

// Helpers the host's file operations share (the copy, the commit and the path
// checks); private to this folder.

#include "Fd_unix.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "Text.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>

#include <unistd.h>

namespace zdb::fileops {

inline QByteArray native(const QString &path) { return pathBytes(path); }
inline QString fromNative(const QByteArray &bytes) { return pathText(bytes); }

[[noreturn]] inline void fail(int err, bool sourceSide) { throw PlatformError(errorNumberForErrno(err, sourceSide)); }

inline QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

// The one naming rule for staged copies, previous copies and marks beside
// target: the folder, a dot, the target's name (where too long for a folder
// entry, cut and followed by a hash of the whole) and the marker.
QByteArray tempPrefix(const QString &target, const char *marker);

// Creates an empty temporary file beside target, returning its descriptor.
int makeTempBeside(const SystemCalls &sys, const QString &target, const char *marker, QString *tempPath);

// Opens an ordinary file by a name the run was given: links followed only
// where root or this user made them, nothing else opened. Throws 53 or 76
// where it is missing, 75 naming it where it is no ordinary file or passes
// another user's link.
int openOwnFile(const QString &path, int flags);

// Opens a source for reading and reads its stat: an ordinary file, or throws
// (53 where it is none).
int openSource(const QString &from, struct stat *st);

// Gives a staged copy the source's mode and times and closes it: throws
// where any of that fails (a failed close may be a lost write).
void finishStaged(Fd &dst, const struct stat &source);

// Reads exactly n bytes at offset, or fewer at the end of the file.
size_t readAt(int fd, char *buffer, size_t n, off_t offset, bool sourceSide);
void writeAll(int fd, const char *data, size_t n);

// Throws 57 where the source at `path` was written to, replaced or resized
// since `before` (a writer the stop did not stop).
void checkHeldStill(const QByteArray &path, int src, const struct stat &before);

// The names this program gave beside target under marker: exactly what
// mkostemp makes of its template, an ordinary file of this user. Newest
// change first.
QStringList ourFilesBeside(const QString &target, const char *marker);

// The hash of each kDeltaBlock block of a file, fed in order (every piece a
// whole number of blocks but the last), and the checksum of all of them.
class BlockHashes {
public:
    void add(const char *data, size_t n);
    const QByteArray &digests() const { return digests_; }
    quint64 checksum() const { return checksumOf(digests_); }
    static quint64 checksumOf(const QByteArray &digests);

private:
    QByteArray digests_;
};

} // namespace zdb::fileops
