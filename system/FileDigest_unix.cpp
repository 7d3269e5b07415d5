#include "FileDigest.h"

#include "Text.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <memory>

namespace zdb {

FileDigest digestFile(const QString &path, bool fromDisk, const std::function<void(qint64, qint64)> &progress)
{
    FileDigest d;
    // Neither a link nor a pipe that another user left in the copy's place
    // is followed or waited on: ELOOP, or EINVAL for anything not a file.
    const int fd = ::open(pathBytes(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        d.error = errno;
        return d;
    }
    struct stat st {};
    if (const bool statted = ::fstat(fd, &st) == 0; !statted || !S_ISREG(st.st_mode)) {
        d.error = statted ? EINVAL : errno;
        ::close(fd);
        return d;
    }
    if (fromDisk)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> whole(XXH3_createState(), XXH3_freeState);
    XXH3_64bits_reset(whole.get());
    std::vector<char> block(static_cast<size_t>(FileDigest::kBlock));
    for (;;) {
        // A whole MiB, short only at the end of the file.
        size_t have = 0;
        while (have < block.size()) {
            const ssize_t n = ::read(fd, block.data() + have, block.size() - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                d.error = errno;
                ::close(fd);
                return d;
            }
            if (n == 0)
                break;
            have += size_t(n);
        }
        if (have == 0)
            break;
        XXH3_64bits_update(whole.get(), block.data(), have);
        d.blocks.push_back(XXH3_64bits(block.data(), have));
        d.size += qint64(have);
        if (progress)
            progress(d.size, qint64(st.st_size));
        if (have < block.size())
            break;
    }
    ::close(fd);
    d.whole = XXH3_64bits_digest(whole.get());
    return d;
}

} // namespace zdb
