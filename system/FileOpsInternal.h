#pragma once

// What the host's file operations share on every system (the hashes, the
// delta pass, the commit's naming), and the small per-system calls it stands
// on; private to this folder.

#include "FileOps.h"
#include "PlatformError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <memory>

namespace zdb::fileops {

// Per system: the last folder separator of a path (-1 where none), and the
// folder that holds it (a root or drive stays whole).
qsizetype lastSeparator(const QString &path);
QString folderOf(const QString &path);
// Per system: how long a folder entry's name is, as the file system counts
// it (bytes on Linux, UTF-16 units on Windows), and its bytes as hashed.
qsizetype entrySize(const QString &name);
QByteArray entryBytes(const QString &name);

// The one naming rule for staged copies, previous copies and marks beside
// target: the folder, a dot, the target's name (where too long for a folder
// entry, cut and followed by a hash of the whole) and the marker.
QString tempPrefix(const QString &target, const char *marker);

// Per system: the names this program gave beside target under marker:
// exactly what its name template makes, an ordinary file of this user (a
// link or folder is not one it made). Newest change first.
QStringList ourFilesBeside(const QString &target, const char *marker);

// The name under `to` that carries the same XXXXXX as `path` under `from`;
// "" where `path` is not one of those.
QString sibling(const QString &path, const char *from, const char *to);

// A source the running database holds open with no sharing: nothing can
// read it until the service has stopped (a sharing violation on Windows,
// EBUSY on Linux).
class SourceHeld : public PlatformError {
public:
    SourceHeld() : PlatformError(kErrPermissionDenied) {}
};

void pauseMs(int ms);

// Opens a stopped source, trying again for a while where the database
// still holds it: a server may let go of its files a moment after it said
// it stopped.
template <class Open>
auto openOnceLetGo(Open open)
{
    for (int waited = 0;; waited += 100) {
        try {
            return open();
        } catch (const SourceHeld &) {
            if (waited >= 10000)
                throw;
        }
        pauseMs(100);
    }
}

// Reads up to n bytes at offset, fewer only at the end of the file.
using ReadAt = std::function<size_t(char *buffer, size_t n, qint64 offset)>;
// Writes all n bytes at offset.
using WriteAt = std::function<void(const char *data, size_t n, qint64 offset)>;

void report(const Progress &progress, qint64 done, qint64 total);

// Streams bytes into an XXH3 64-bit hash.
class Hasher {
public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;
    void add(const char *data, size_t n);
    quint64 digest() const;

private:
    struct State;
    State *state_;
};

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

// Large enough that system calls cost little, small enough for a lean process.
inline constexpr size_t kChunk = 1 << 20;

// A pre-copy brought up to its source: checked by the hashes of its blocks.
inline StagedCopy blockwise(const QString &path, quint64 checksum)
{
    StagedCopy copy;
    copy.path = path;
    copy.checksum = checksum;
    copy.blockwise = true;
    return copy;
}

// Reads a source of `size` bytes once into a buffer, hashing it and writing
// it on: its checksum. A source that grew or shrank fails with 57.
quint64 copyByReading(const ReadAt &src, const WriteAt &dst, qint64 size, const Progress &progress);

// Reads a whole file of `size` bytes back as `copy` was hashed: true when it
// hashes the same. `read` may drop what it read from the cache.
bool hashesAs(const StagedCopy &copy, const ReadAt &read, qint64 size, const Progress &progress);

// Copies a pre-copy's worth of a running source: the block hashes of what it
// read, `size` bytes as far as the file went when it began.
QByteArray copyHashingBlocks(const ReadAt &src, const WriteAt &dst, qint64 size, const Progress &progress);

// One read of a source of `size` bytes: each block hashed and, where its
// hash differs from `before`'s, handed to `write`. Two threads on a large
// file. The hashes of all blocks.
QByteArray deltaPass(const ReadAt &src, const WriteAt &write, qint64 size, const QByteArray &before,
                     const Progress &progress);

// Keeps the changed blocks of a delta pass: in memory up to a bound, the
// rest in a spill file that `openSpill` makes (naming it in `out.spill`).
WriteAt keepBlocks(ChangedBlocks &out, std::function<WriteAt()> openSpill);

// Writes the kept blocks into the pre-copy, reading spilled ones through
// `spill`; the bar runs over the file however few blocks changed.
void writeBlocks(const ChangedBlocks &changes, const ReadAt &spill, const WriteAt &dst, const Progress &progress);

// Hashes a source on a thread of its own, just behind a copy the system
// makes (the kernel's copy offload), reading each range from the cache where
// the copy has just put it.
class HashBehind {
public:
    explicit HashBehind(ReadAt src);
    ~HashBehind();
    HashBehind(const HashBehind &) = delete;
    HashBehind &operator=(const HashBehind &) = delete;
    // Bytes up to `end` are copied; waits while the hash lags too far.
    void copiedUpTo(qint64 end);
    quint64 digest();

private:
    struct Shared;
    std::unique_ptr<Shared> s_;
};

} // namespace zdb::fileops
