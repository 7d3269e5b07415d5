// A restore's copies staged beside the database's files, and its renames.
#include "FileOpsInternal_unix.h"
#include "RestoreFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace zdb {

using namespace fileops;

namespace {

// Reads a whole file (from where it stands, or from the disk), digesting
// it as the history does, and writes it on to `out` where given.
FileDigest readDigesting(int fd, int out)
{
    FileDigest d;
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> whole(XXH3_createState(), XXH3_freeState);
    XXH3_64bits_reset(whole.get());
    std::vector<char> block(static_cast<size_t>(FileDigest::kBlock));
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        const size_t n = readAt(fd, block.data(), block.size(), off_t(d.size), out >= 0);
        if (n == 0)
            break;
        XXH3_64bits_update(whole.get(), block.data(), n);
        d.blocks.push_back(XXH3_64bits(block.data(), n));
        if (out >= 0)
            writeAll(out, block.data(), n);
        d.size += qint64(n);
        if (n < block.size())
            break;
    }
    d.whole = XXH3_64bits_digest(whole.get());
    return d;
}

void syncFolderOf(const QString &path)
{
    const Fd dir(::open(native(folderOf(path)).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        fail(errno, false);
    if (::fsync(dir.fd) != 0 && errno != EINVAL && errno != EOPNOTSUPP)
        fail(errno, false);
}

} // namespace

qint64 HostRestoreFiles::regularFileSize(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0)
        return -1;
    return S_ISREG(st.st_mode) ? qint64(st.st_size) : -2;
}

bool HostRestoreFiles::present(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(native(path).constData(), &st) == 0;
}

FreeSpace HostRestoreFiles::freeSpace(const QString &path) { return HostFileOps().freeSpace(path); }

RestoreStage HostRestoreFiles::stage(const QString &from, const QString &beside, const QString &ownerLike,
                                     const std::function<void(const QString &)> &named)
{
    struct stat st;
    Fd src(openSource(from, &st));
    RestoreStage staged;
    Fd dst(makeTempBeside(SystemCalls::host(), beside, kRestoreMarker, &staged.path));
    try {
        named(staged.path);
        // The database's own user must be able to open what it is given.
        struct stat like;
        if (::stat(native(ownerLike).constData(), &like) != 0
            && ::stat(native(folderOf(ownerLike)).constData(), &like) != 0)
            fail(errno, false);
        if (::geteuid() == 0 && ::fchown(dst.fd, like.st_uid, like.st_gid) != 0)
            fail(errno, false);
        if (::fchmod(dst.fd, S_ISREG(like.st_mode) ? like.st_mode & 07777 : 0600) != 0)
            fail(errno, false);
        staged.read = readDigesting(src.fd, dst.fd);
        checkHeldStill(native(from), src.fd, st);
        if (::fsync(dst.fd) != 0)
            fail(errno, false);
        syncFolderOf(staged.path);
        // What is read back must come from the disk, not from the cache.
        ::posix_fadvise(dst.fd, 0, 0, POSIX_FADV_DONTNEED);
        ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_DONTNEED);
        const Fd back(::open(native(staged.path).constData(), O_RDONLY | O_CLOEXEC));
        if (back.fd < 0)
            fail(errno, false);
        const FileDigest again = readDigesting(back.fd, -1);
        ::posix_fadvise(back.fd, 0, 0, POSIX_FADV_DONTNEED);
        staged.readBackEqual = again.size == staged.read.size && again.whole == staged.read.whole;
        return staged;
    } catch (...) {
        ::unlink(native(staged.path).constData());
        throw;
    }
}

void HostRestoreFiles::rename(const QString &from, const QString &to)
{
    const QByteArray a = native(from), b = native(to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) != 0) {
        // A file system without the flag: the name is looked at first.
        struct stat st;
        if (errno != EINVAL)
            fail(errno, false);
        if (::lstat(b.constData(), &st) == 0)
            throw PlatformError(kErrFileExists);
        if (::rename(a.constData(), b.constData()) != 0)
            fail(errno, false);
    }
    syncFolderOf(to);
    if (folderOf(from) != folderOf(to))
        syncFolderOf(from);
}

void HostRestoreFiles::remove(const QString &path) noexcept
{
    if (path.isEmpty() || ::unlink(native(path).constData()) != 0)
        return;
    try {
        syncFolderOf(path);
    } catch (...) {
    }
}

QStringList HostRestoreFiles::leftovers(const QString &beside) { return ourFilesBeside(beside, kRestoreMarker); }

} // namespace zdb
