// The copy of a source beside its target, hashed on the way, and the read-back.
#include "FileOpsInternal_unix.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zdb {

using namespace fileops;

namespace {

// The kernel copy goes in steps small enough that the hash, right behind it,
// finds the bytes still in the processor's shared cache (of the steps tried,
// 512 KiB to 8 MiB, this measured best).
constexpr off_t kOffloadChunk = 2 << 20;

} // namespace

namespace fileops {

// Reads exactly n bytes at offset, or fewer at the end of the file.
size_t readAt(int fd, char *buffer, size_t n, off_t offset, bool sourceSide)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, buffer + got, n - got, offset + off_t(got));
        if (r == 0)
            break;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, sourceSide);
        }
        got += size_t(r);
    }
    return got;
}

void writeAll(int fd, const char *data, size_t n)
{
    for (size_t off = 0; off < n;) {
        const ssize_t w = ::write(fd, data + off, n - off);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, false);
        }
        off += size_t(w);
    }
}

ReadAt readerOf(int fd, bool sourceSide)
{
    return [fd, sourceSide](char *buffer, size_t n, qint64 offset) {
        return readAt(fd, buffer, n, off_t(offset), sourceSide);
    };
}

WriteAt writerOf(int fd)
{
    return [fd](const char *data, size_t n, qint64 offset) {
        for (size_t off = 0; off < n;) {
            const ssize_t w = ::pwrite(fd, data + off, n - off, off_t(offset) + off_t(off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail(errno, false);
            }
            off += size_t(w);
        }
    };
}

} // namespace fileops

namespace {

// The source must end where it ended when the copy began: a database file
// that changes size under the copy was not stopped.
void checkSizeUnchanged(int src, int dst, off_t size)
{
    struct stat s, d;
    if (::fstat(src, &s) != 0 || ::fstat(dst, &d) != 0)
        fail(errno, true);
    if (s.st_size != size || d.st_size != size)
        throw PlatformError(kErrDiskIo);
}

// The kernel copies chunk after chunk while the hash follows on a second
// thread. A short copy just goes on from where it stopped. False when the
// kernel cannot copy between these files.
bool copyByOffload(const SystemCalls &sys, int src, int dst, off_t size, const Progress &progress, quint64 *checksum)
{
    HashBehind hash(readerOf(src, true));
    off_t done = 0;
    while (done < size) {
        off_t in = done, out = done;
        const ssize_t n = sys.copyFileRange(src, &in, dst, &out, size_t(std::min(size - done, kOffloadChunk)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (done == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
                return false;
            fail(errno, false);
        }
        if (n == 0) // the source shrank under us
            throw PlatformError(kErrDiskIo);
        done += n;
        hash.copiedUpTo(done);
        report(progress, done, size);
    }
    *checksum = hash.digest();
    return true;
}

// Copies all of src to dst: a reflink where the file system shares blocks,
// else by the chosen method, hashing the source on the way.
StagedCopy copyContents(const SystemCalls &sys, int src, int dst, off_t size, CopyMethod method,
                        const Progress &progress)
{
    StagedCopy result;
    report(progress, 0, size);
    if (size > 0 && ::ioctl(dst, FICLONE, src) == 0) {
        result.shared = true;
    } else {
        ::posix_fadvise(src, 0, 0, POSIX_FADV_SEQUENTIAL);
        // A kernel copy that cannot start has written nothing. (No truncation
        // either: ext4 would then flush the whole new file when it is closed,
        // inside the downtime.)
        if (method != CopyMethod::OffloadThenHash || !copyByOffload(sys, src, dst, size, progress, &result.checksum))
            result.checksum = copyByReading(readerOf(src, true), writerOf(dst), size, progress);
    }
    checkSizeUnchanged(src, dst, size);
    report(progress, size, size);
    return result;
}

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

namespace fileops {

// A source written to while it was copied (a writer the stop did not stop)
// gives a torn copy even at the same size: its times tell, and its path must
// still name the file that was read.
void checkHeldStill(const QByteArray &path, int src, const struct stat &before)
{
    struct stat now, named;
    if (::fstat(src, &now) != 0 || ::stat(path.constData(), &named) != 0)
        fail(errno, true);
    if (now.st_size != before.st_size || !sameTime(now.st_mtim, before.st_mtim)
        || !sameTime(now.st_ctim, before.st_ctim) || named.st_dev != before.st_dev || named.st_ino != before.st_ino)
        throw PlatformError(kErrDiskIo, QStringLiteral("バックアップ元のファイルが、複写中に変更されました。"));
}

} // namespace fileops

SystemCalls SystemCalls::host()
{
    SystemCalls calls;
    calls.copyFileRange = [](int in, off_t *inOffset, int out, off_t *outOffset, size_t length) {
        return ::copy_file_range(in, inOffset, out, outOffset, length, 0);
    };
    calls.rename = [](const char *from, const char *to) { return ::rename(from, to); };
    calls.syncFolder = [](int folderFd) { return ::fsync(folderFd); };
    calls.makeTemp = [](char *nameTemplate) { return ::mkostemp(nameTemplate, O_CLOEXEC); };
    calls.unlink = [](const char *path) { return ::unlink(path); };
    return calls;
}

namespace fileops {

int openSource(const QString &from, struct stat *st)
{
    if (from.isEmpty())
        throw PlatformError(kErrFileNotFound);
    Fd src(openOnceLetGo([&] { return openOwnFile(from, O_RDONLY); }));
    if (::fstat(src.fd, st) != 0)
        fail(errno, true);
    return std::exchange(src.fd, -1);
}

void finishStaged(Fd &dst, const struct stat &source)
{
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::fchmod(dst.fd, source.st_mode & 07777) != 0 || ::futimens(dst.fd, times) != 0)
        fail(errno, false);
    if (::close(std::exchange(dst.fd, -1)) != 0)
        fail(errno, false);
}

} // namespace fileops

StagedCopy HostFileOps::stageCopy(const QString &from, const QString &target, const Progress &progress)
{
    struct stat st;
    Fd src(openSource(from, &st));

    QString temp;
    Fd dst(makeTemp(target, kTempMarker, &temp));
    try {
        StagedCopy copy = copyContents(sys_, src.fd, dst.fd, st.st_size, method_, progress);
        copy.path = temp;
        checkHeldStill(native(from), src.fd, st);
        // Flushed later, when the database runs again: the flush is no downtime.
        finishStaged(dst, st);
        return copy;
    } catch (...) {
        ::unlink(native(temp).constData());
        throw;
    }
}

QString HostFileOps::copyBeside(const QString &source, const Progress &progress)
{
    struct stat st;
    Fd src(openSource(source, &st));
    QString copy;
    Fd dst(makeTempBeside(sys_, source, kSnapshotMarker, &copy));
    try {
        copyContents(sys_, src.fd, dst.fd, st.st_size, method_, progress);
        checkHeldStill(native(source), src.fd, st);
        finishStaged(dst, st);
        return copy;
    } catch (...) {
        ::unlink(native(copy).constData());
        throw;
    }
}

bool HostFileOps::verifyCopy(const StagedCopy &copy, const Progress &progress)
{
    Fd fd(::open(native(copy.path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0)
        fail(errno, false);
    if (!S_ISREG(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    report(progress, 0, st.st_size);
    if (::fsync(fd.fd) != 0)
        fail(errno, false);
    if (copy.shared) {
        report(progress, st.st_size, st.st_size);
        return true;
    }
    // Clean pages leave the cache, so the reads below come from the disk.
    ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_DONTNEED);
    ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const int in = fd.fd;
    return hashesAs(
        copy,
        [in](char *buffer, size_t n, qint64 offset) {
            const size_t got = readAt(in, buffer, n, off_t(offset), false);
            // What was checked need not stay in the cache.
            ::posix_fadvise(in, off_t(offset), off_t(got), POSIX_FADV_DONTNEED);
            return got;
        },
        qint64(st.st_size), progress);
}

} // namespace zdb
