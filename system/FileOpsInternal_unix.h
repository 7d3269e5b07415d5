#pragma once

// Helpers the host's file operations share (the copy, the commit and the path
// checks); private to this folder.

#include "FileOps.h"
#include "PlatformError.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <unistd.h>

namespace zdb::fileops {

inline QByteArray native(const QString &path) { return QFile::encodeName(path); }

[[noreturn]] inline void fail(int err, bool sourceSide) { throw PlatformError(errorNumberForErrno(err, sourceSide)); }

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

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

} // namespace zdb::fileops
