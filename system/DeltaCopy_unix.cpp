#include "FileOps.h"
#include "FileOpsInternal_unix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>
#include <xxhash.h>

namespace zdb {

using namespace fileops;

namespace {

constexpr size_t kDigest = sizeof(XXH128_hash_t);
// Whole blocks, so that each read hashes and writes them as they are.
constexpr size_t kChunk = size_t(16 * kDeltaBlock);
// Below this a second thread would cost more than it saves.
constexpr off_t kSplitAbove = off_t(64) << 20;
// Changed blocks kept in memory while the service is down; past this they
// go to a file beside the source.
constexpr qsizetype kHeldBound = qsizetype(8) << 20;

qint64 nanoseconds(const struct timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; }

// The modification time a pre-copy is left with (2000-01-01, which every
// file system can keep): any write after it sets the clock's time, which
// never is this, however coarse the clock.
constexpr struct timespec kPreCopyMark = {946684800, 0};

void writeAt(int fd, const char *data, size_t n, off_t offset)
{
    for (size_t off = 0; off < n;) {
        const ssize_t w = ::pwrite(fd, data + off, n - off, offset + off_t(off));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, false);
        }
        off += size_t(w);
    }
}

void report(const Progress &progress, qint64 done, qint64 total)
{
    if (progress)
        progress(done, total);
}

// Where a changed block goes: the staged copy, or a store off the target.
using BlockWriter = std::function<void(const char *data, size_t n, off_t offset)>;

// One read of the source: each block hashed and, where its hash differs from
// the pre-copy's, handed to the writer. Two threads take a half each;
// only the caller's reports progress, so that a progress that throws ends
// the pass on the caller's side.
class DeltaPass {
public:
    DeltaPass(int src, BlockWriter write, off_t size, const QByteArray &before)
        : src_(src), write_(std::move(write)), size_(size), before_(before),
          digests_(qsizetype((size + kDeltaBlock - 1) / kDeltaBlock * qint64(kDigest)), '\0')
    {
    }

    QByteArray run(const Progress &progress)
    {
        char *out = digests_.data(); // detached once, before any thread writes
        const off_t blocks = (size_ + kDeltaBlock - 1) / kDeltaBlock;
        const off_t middle = size_ > kSplitAbove ? blocks / 2 * kDeltaBlock : size_;
        std::thread other;
        if (middle < size_)
            other = std::thread([=, this] { passCatching(middle, size_, out, nullptr); });
        struct Join {
            DeltaPass &pass;
            std::thread &t;
            ~Join()
            {
                pass.stop_ = true;
                if (t.joinable())
                    t.join();
            }
        } join{*this, other};
        pass(0, middle, out, &progress);
        while (done_ < size_ && failure_ == 0 && other.joinable())
            waitAndReport(progress);
        if (other.joinable())
            other.join();
        if (failure_ != 0)
            throw PlatformError(failure_);
        return digests_;
    }

private:
    void waitAndReport(const Progress &progress)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        report(progress, done_, size_);
    }

    void passCatching(off_t from, off_t to, char *out, const Progress *progress) noexcept
    {
        try {
            pass(from, to, out, progress);
        } catch (const PlatformError &e) {
            failure_ = e.number();
        } catch (...) {
            failure_ = kErrInternal;
        }
    }

    void pass(off_t from, off_t to, char *out, const Progress *progress)
    {
        std::vector<char> buffer(kChunk);
        const qsizetype known = before_.size() / qsizetype(kDigest);
        for (off_t at = from; at < to && !stop_ && failure_ == 0;) {
            const size_t want = size_t(std::min<off_t>(off_t(kChunk), to - at));
            if (readAt(src_, buffer.data(), want, at, true) != want) // shrank under us
                throw PlatformError(kErrDiskIo);
            for (size_t b = 0; b < want; b += size_t(kDeltaBlock)) {
                const size_t n = std::min(size_t(kDeltaBlock), want - b);
                const qsizetype index = qsizetype((at + off_t(b)) / kDeltaBlock);
                const XXH128_hash_t h = XXH3_128bits(buffer.data() + b, n);
                std::memcpy(out + index * qsizetype(kDigest), &h, kDigest);
                if (index >= known || std::memcmp(before_.constData() + index * qsizetype(kDigest), &h, kDigest) != 0) {
                    write_(buffer.data() + b, n, at + off_t(b));
                }
            }
            at += off_t(want);
            done_ += qint64(want);
            if (progress)
                report(*progress, done_, size_);
        }
    }

    int src_;
    BlockWriter write_;
    off_t size_;
    const QByteArray &before_;
    QByteArray digests_;
    std::atomic<qint64> done_{0};
    std::atomic<int> failure_{0};
    std::atomic<bool> stop_{false};
};

// The changed blocks as they arrive from either half of the pass.
class BlockStore {
public:
    BlockStore(const SystemCalls &sys, const QString &source, ChangedBlocks &out)
        : sys_(sys), source_(source), out_(out)
    {
    }
    void put(const char *data, size_t n, off_t offset)
    {
        const std::lock_guard lock(mutex_);
        ChangedBlocks::Block block{qint64(offset), 0, qint64(n), false};
        if (out_.held.size() + qsizetype(n) <= kHeldBound) {
            block.at = out_.held.size();
            out_.held.append(data, qsizetype(n));
        } else {
            if (spill_.fd < 0)
                spill_.fd = makeTempBeside(sys_, source_, kSnapshotMarker, &out_.spill);
            block.at = spillEnd_;
            block.spilled = true;
            writeAt(spill_.fd, data, n, off_t(spillEnd_));
            spillEnd_ += qint64(n);
        }
        out_.blocks.push_back(block);
    }

private:
    const SystemCalls &sys_;
    const QString &source_;
    ChangedBlocks &out_;
    std::mutex mutex_;
    Fd spill_{-1};
    qint64 spillEnd_ = 0;
};

} // namespace

namespace fileops {

void BlockHashes::add(const char *data, size_t n)
{
    for (size_t b = 0; b < n; b += size_t(kDeltaBlock)) {
        const XXH128_hash_t h = XXH3_128bits(data + b, std::min(size_t(kDeltaBlock), n - b));
        digests_.append(reinterpret_cast<const char *>(&h), qsizetype(kDigest));
    }
}

quint64 BlockHashes::checksumOf(const QByteArray &digests)
{
    return XXH3_64bits(digests.constData(), size_t(digests.size()));
}

} // namespace fileops

PreCopy HostFileOps::preCopy(const QString &from, const QString &target, const Progress &progress)
{
    struct stat st;
    Fd src(openSource(from, &st));
    ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    PreCopy pre;
    Fd dst(makeTemp(target, kTempMarker, &pre.path));
    try {
        // The file as far as it went when the pre-copy began: the database
        // may write on meanwhile, the pass after the stop catches up.
        std::vector<char> buffer(kChunk);
        BlockHashes hashes;
        report(progress, 0, st.st_size);
        for (off_t done = 0; done < st.st_size;) {
            const size_t n =
                readAt(src.fd, buffer.data(), size_t(std::min<off_t>(off_t(kChunk), st.st_size - done)), done, true);
            if (n == 0)
                break;
            hashes.add(buffer.data(), n);
            writeAll(dst.fd, buffer.data(), n);
            done += off_t(n);
            report(progress, done, st.st_size);
        }
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
        pre.blockHashes = hashes.digests();
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
    const int staging = dst.fd;
    DeltaPass pass(
        src.fd, [staging](const char *data, size_t n, off_t offset) { writeAt(staging, data, n, offset); }, st.st_size,
        pre.blockHashes);
    const QByteArray digests = pass.run(progress);
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
    StagedCopy copy;
    copy.path = pre.path;
    copy.checksum = BlockHashes::checksumOf(digests);
    copy.blockwise = true;
    return copy;
}

bool HostFileOps::stagesBesideSources() const { return true; }

ChangedBlocks HostFileOps::captureChanges(const QString &from, const PreCopy &pre, const Progress &progress)
{
    struct stat st;
    Fd src(openSource(from, &st));
    ::posix_fadvise(src.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ChangedBlocks changes;
    try {
        BlockStore store(sys_, from, changes);
        report(progress, 0, st.st_size);
        DeltaPass pass(
            src.fd, [&store](const char *data, size_t n, off_t offset) { store.put(data, n, offset); }, st.st_size,
            pre.blockHashes);
        changes.checksum = BlockHashes::checksumOf(pass.run(progress));
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
    // The bar runs over the file, however few blocks changed.
    qint64 total = 0, done = 0;
    for (const ChangedBlocks::Block &b : changes.blocks)
        total += b.size;
    report(progress, 0, changes.size);
    std::vector<char> buffer(static_cast<size_t>(kDeltaBlock));
    for (const ChangedBlocks::Block &b : changes.blocks) {
        const char *data = changes.held.constData() + b.at;
        if (b.spilled) {
            if (readAt(spill.fd, buffer.data(), size_t(b.size), off_t(b.at), true) != size_t(b.size))
                throw PlatformError(kErrDiskIo);
            data = buffer.data();
        }
        writeAt(dst.fd, data, size_t(b.size), off_t(b.offset));
        done += b.size;
        report(progress, qint64(double(done) / double(total) * double(changes.size)), changes.size);
    }
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
    StagedCopy copy;
    copy.path = pre.path;
    copy.checksum = changes.checksum;
    copy.blockwise = true;
    return copy;
}

} // namespace zdb
