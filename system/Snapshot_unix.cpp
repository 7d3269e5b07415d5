#include "FileOps.h"
#include "FileOpsInternal_unix.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace zdb {

using namespace fileops;

QString HostFileOps::snapshot(const QString &source)
{
    Fd src(openOwnFile(source, O_RDONLY));
    struct stat st;
    if (::fstat(src.fd, &st) != 0)
        fail(errno, true);
    // Beside the source, so on its file system; hidden, and named so that a
    // run killed before it went is found by the next one.
    QString clone;
    Fd dst(makeTempBeside(sys_, source, kSnapshotMarker, &clone));
    if (::ioctl(dst.fd, FICLONE, src.fd) != 0) {
        const int err = errno;
        ::unlink(native(clone).constData());
        if (err == EOPNOTSUPP || err == ENOTTY || err == EXDEV || err == EINVAL || err == ENOSYS)
            return {};
        fail(err, true);
    }
    // The copy made of it later carries the source's mode and times.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(dst.fd, st.st_mode & 07777) != 0 || ::futimens(dst.fd, times) != 0) {
        const int err = errno;
        ::unlink(native(clone).constData());
        fail(err, false);
    }
    return clone;
}

} // namespace zdb
