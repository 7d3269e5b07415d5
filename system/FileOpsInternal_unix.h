#pragma once

// What the host's file operations on Linux share (the copy, the commit and
// the path checks); private to this folder.

#include "Fd_unix.h"
#include "FileOps.h"
#include "FileOpsInternal.h"
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

// Creates an empty temporary file beside target, returning its descriptor.
int makeTempBeside(const SystemCalls &sys, const QString &target, const char *marker, QString *tempPath);

// Opens an ordinary file by a name the run was given: links followed only
// where root or this user made them, nothing else opened. Throws 53 or 76
// where it is missing, 75 naming it where it is no ordinary file or passes
// another user's link, SourceHeld where a running database holds it.
int openOwnFile(const QString &path, int flags);

// Opens a source for reading and reads its stat: an ordinary file, or throws
// (53 where it is none). One still held is tried again for a while.
int openSource(const QString &from, struct stat *st);

// Gives a staged copy the source's mode and times and closes it: throws
// where any of that fails (a failed close may be a lost write).
void finishStaged(Fd &dst, const struct stat &source);

// Reads exactly n bytes at offset, or fewer at the end of the file.
size_t readAt(int fd, char *buffer, size_t n, off_t offset, bool sourceSide);
// The same as the shared passes take it.
ReadAt readerOf(int fd, bool sourceSide);
WriteAt writerOf(int fd);
void writeAll(int fd, const char *data, size_t n);

// Throws 57 where the source at `path` was written to, replaced or resized
// since `before` (a writer the stop did not stop).
void checkHeldStill(const QByteArray &path, int src, const struct stat &before);

} // namespace zdb::fileops
