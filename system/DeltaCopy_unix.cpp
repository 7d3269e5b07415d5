// The pre-copy before the stop and the pass that catches it up, on Linux.
#include "FileOpsInternal_unix.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace zdb {

using namespace fileops;

namespace {

qint64 nanoseconds(const struct timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; }

// The modification time a pre-copy is left with (2000-01-01, which every
// file system can keep): any write after it sets the clock's time, which
// never is this, however coarse the clock.
constexpr struct timespec kPreCopyMark = {946684800, 0};

} // namespace

PreCopy HostFileOps::preCopy(const QString &from, const QString &target, const Progress &progress)
{
    int opened = -1;
    try {
        opened = openOwnFile(from, O_RDONLY);
    } catch (const SourceHeld &) {
        return {}; // copied whole once the service has stopped
    }
    Fd src(opened);
    struct stat st;
    if (::fstat(src.fd, &st) != 0)
        fail(errno, true);
    ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    PreCopy pre;
    Fd dst(makeTemp(target, kTempMarker, &pre.path));
    try {
        // The file as far as it went when the pre-copy began: the database
        // may write on meanwhile, the pass after the stop catches up.
        pre.blockHashes = copyHashingBlocks(readerOf(src.fd, true), writerOf(dst.fd), st.st_size, progress);
        // On the disk before the stop, so that no flush of it competes with
        // the pass while the service is down.
        struct stat staged;
        if (::fdatasync(dst.fd) != 0)
            fail(errno, false);
        // Where the time cannot be set, the change time and size still tell.
        const struct timespec times[2] = {{0, UTIME_OMIT}, kPreCopyMark};
        ::futimens(dst.fd, times);
        if (::fstat(dst.fd, &staged) != 0)
            fail(errno, false);
        pre.device = quint64(staged.st_dev);
        pre.inode = quint64(staged.st_ino);
        pre.size = qint64(staged.st_size);
        pre.changedNs = nanoseconds(staged.st_ctim);
        pre.modifiedNs = nanoseconds(staged.st_mtim);
        return pre;
    } catch (...) {
        ::unlink(native(pre.path).constData());
        throw;
    }
}

StagedCopy HostFileOps::finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                                   const Progress &progress)
{
    if (pre.path.isEmpty())
        return HostFileOps::stageCopy(from, target, progress);
    Fd dst(::open(native(pre.path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    struct stat staged = {};
    if (dst.fd < 0 || ::fstat(dst.fd, &staged) != 0 || quint64(staged.st_dev) != pre.device
        || quint64(staged.st_ino) != pre.inode || qint64(staged.st_size) != pre.size
        || nanoseconds(staged.st_ctim) != pre.changedNs || nanoseconds(staged.st_mtim) != pre.modifiedNs) {
        // Gone or touched since the pre-copy: none of its blocks can be trusted.
        if (dst.fd >= 0 && quint64(staged.st_ino) == pre.inode)
            ::unlink(native(pre.path).constData());
        return HostFileOps::stageCopy(from, target, progress);
    }
    struct stat st;
    Fd src(openSource(from, &st));
    ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    report(progress, 0, st.st_size);
    const QByteArray digests =
        deltaPass(readerOf(src.fd, true), writerOf(dst.fd), st.st_size, pre.blockHashes, progress);
    if (staged.st_size > st.st_size && ::ftruncate(dst.fd, st.st_size) != 0)
        fail(errno, false);
    // A database file written to under the pass was not stopped.
    checkHeldStill(native(from), src.fd, st);
    struct stat out;
    if (::fstat(dst.fd, &out) != 0)
        fail(errno, false);
    if (out.st_size != st.st_size)
        throw PlatformError(kErrDiskIo);
    finishStaged(dst, st);
    report(progress, st.st_size, st.st_size);
    return blockwise(pre.path, BlockHashes::checksumOf(digests));
}

bool HostFileOps::stagesBesideSources() const { return true; }

ChangedBlocks HostFileOps::captureChanges(const QString &from, const PreCopy &pre, const Progress &progress)
{
    struct stat st;
    Fd src(openSource(from, &st));
    ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ChangedBlocks changes;
    auto spill = std::make_shared<Fd>(-1);
    try {
        const WriteAt keep = keepBlocks(changes, [&, spill] {
            spill->fd = makeTempBeside(sys_, from, kSnapshotMarker, &changes.spill);
            return writerOf(spill->fd);
        });
        report(progress, 0, st.st_size);
        changes.checksum =
            BlockHashes::checksumOf(deltaPass(readerOf(src.fd, true), keep, st.st_size, pre.blockHashes, progress));
        checkHeldStill(native(from), src.fd, st);
    } catch (...) {
        if (!changes.spill.isEmpty())
            ::unlink(native(changes.spill).constData());
        throw;
    }
    changes.size = qint64(st.st_size);
    changes.mode = quint32(st.st_mode & 07777);
    changes.accessedNs = nanoseconds(st.st_atim);
    changes.modifiedNs = nanoseconds(st.st_mtim);
    report(progress, st.st_size, st.st_size);
    return changes;
}

StagedCopy HostFileOps::applyChanges(const PreCopy &pre, const ChangedBlocks &changes, const Progress &progress)
{
    Fd dst(::open(native(pre.path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    struct stat staged = {};
    if (dst.fd < 0 || ::fstat(dst.fd, &staged) != 0)
        fail(errno, false);
    // Its blocks are the base of the changes: touched since, it is no copy.
    if (quint64(staged.st_dev) != pre.device || quint64(staged.st_ino) != pre.inode
        || qint64(staged.st_size) != pre.size || nanoseconds(staged.st_ctim) != pre.changedNs
        || nanoseconds(staged.st_mtim) != pre.modifiedNs)
        throw PlatformError(kErrDiskIo, QStringLiteral("事前コピーのファイルが、途中で変更されました。"));
    Fd spill{-1};
    if (!changes.spill.isEmpty()) {
        spill.fd = ::open(native(changes.spill).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (spill.fd < 0)
            fail(errno, true);
    }
    writeBlocks(changes, readerOf(spill.fd, true), writerOf(dst.fd), progress);
    struct stat out;
    if ((staged.st_size > changes.size && ::ftruncate(dst.fd, off_t(changes.size)) != 0) || ::fstat(dst.fd, &out) != 0)
        fail(errno, false);
    if (qint64(out.st_size) != changes.size)
        throw PlatformError(kErrDiskIo);
    const auto time = [](qint64 ns) { return timespec{time_t(ns / 1000000000), long(ns % 1000000000)}; };
    const struct timespec times[2] = {time(changes.accessedNs), time(changes.modifiedNs)};
    if (::fchmod(dst.fd, mode_t(changes.mode)) != 0 || ::futimens(dst.fd, times) != 0)
        fail(errno, false);
    if (::close(std::exchange(dst.fd, -1)) != 0)
        fail(errno, false);
    report(progress, changes.size, changes.size);
    return blockwise(pre.path, changes.checksum);
}

} // namespace zdb
