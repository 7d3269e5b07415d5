// The copies' hashes, the pass that finds changed blocks, and the names
// beside a target: the same on every system.
#include "FileOpsInternal.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>
#include <xxhash.h>

namespace zdb {

quint64 contentChecksum(const QByteArray &bytes) { return XXH3_64bits(bytes.constData(), size_t(bytes.size())); }

namespace fileops {

namespace {

constexpr size_t kDigest = sizeof(XXH128_hash_t);
// Whole blocks, so that each read hashes and writes them as they are.
constexpr size_t kBlockChunk = size_t(16 * kDeltaBlock);
// Below this a second thread would cost more than it saves.
constexpr qint64 kSplitAbove = qint64(64) << 20;
// Changed blocks kept in memory while the service is down; past this they
// go to a file beside the source.
constexpr qsizetype kHeldBound = qsizetype(8) << 20;
// The hash behind a system copy reads into a buffer that stays in its core's
// own cache, and may fall behind only as far as the cache still holds.
constexpr size_t kHashChunk = 256 << 10;
constexpr qint64 kMaxLag = 64 << 20;

} // namespace

void pauseMs(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

void report(const Progress &progress, qint64 done, qint64 total)
{
    if (progress)
        progress(done, total);
}

QString tempPrefix(const QString &target, const char *marker)
{
    const qsizetype at = lastSeparator(target);
    const QString name = target.mid(at + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    const qsizetype tail = qsizetype(qstrlen(marker)) + 6;
    QString entry = u'.' + name;
    // A folder entry holds 255. A longer name is cut at a character and told
    // apart from its neighbours by a hash of the whole name, so that two long
    // targets never share a staged or previous name.
    if (entrySize(entry) + tail > 255) {
        const QByteArray whole = entryBytes(entry);
        const QString hash = u'~' + QString::number(XXH3_64bits(whole.constData(), size_t(whole.size())), 16);
        QString cut = name;
        while (entrySize(u'.' + cut) + hash.size() + tail > 255)
            cut.chop(cut.size() > 1 && cut.back().isLowSurrogate() && cut[cut.size() - 2].isHighSurrogate() ? 2 : 1);
        entry = u'.' + cut + hash;
    }
    return target.left(at + 1) + entry + QLatin1StringView(marker);
}

QString sibling(const QString &path, const char *from, const char *to)
{
    const QLatin1StringView marker(from);
    const qsizetype at = path.size() - 6 - marker.size();
    if (at < 0 || QStringView(path).mid(at, marker.size()) != marker)
        return {};
    return path.left(at) + QLatin1StringView(to) + path.right(6);
}

struct Hasher::State {
    XXH3_state_t *xxh;
};

Hasher::Hasher() : state_(new State{XXH3_createState()})
{
    if (!state_->xxh) {
        delete state_;
        throw std::bad_alloc();
    }
    XXH3_64bits_reset(state_->xxh);
}
Hasher::~Hasher()
{
    XXH3_freeState(state_->xxh);
    delete state_;
}
void Hasher::add(const char *data, size_t n) { XXH3_64bits_update(state_->xxh, data, n); }
quint64 Hasher::digest() const { return XXH3_64bits_digest(state_->xxh); }

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

quint64 copyByReading(const ReadAt &src, const WriteAt &dst, qint64 size, const Progress &progress)
{
    std::vector<char> buffer(kChunk);
    Hasher hash;
    qint64 done = 0;
    for (;;) {
        const size_t n = src(buffer.data(), buffer.size(), done);
        if (n == 0)
            break;
        if (done + qint64(n) > size) // grew under us
            throw PlatformError(kErrDiskIo);
        hash.add(buffer.data(), n);
        dst(buffer.data(), n, done);
        done += qint64(n);
        report(progress, done, size);
    }
    if (done != size)
        throw PlatformError(kErrDiskIo);
    return hash.digest();
}

bool hashesAs(const StagedCopy &copy, const ReadAt &read, qint64 size, const Progress &progress)
{
    std::vector<char> buffer(kChunk);
    Hasher hash;
    BlockHashes blocks;
    qint64 done = 0;
    for (;;) {
        const size_t n = read(buffer.data(), buffer.size(), done);
        if (n == 0)
            break;
        if (copy.blockwise)
            blocks.add(buffer.data(), n);
        else
            hash.add(buffer.data(), n);
        done += qint64(n);
        report(progress, std::min(done, size), size);
    }
    return done == size && (copy.blockwise ? blocks.checksum() : hash.digest()) == copy.checksum;
}

QByteArray copyHashingBlocks(const ReadAt &src, const WriteAt &dst, qint64 size, const Progress &progress)
{
    std::vector<char> buffer(kBlockChunk);
    BlockHashes hashes;
    report(progress, 0, size);
    for (qint64 done = 0; done < size;) {
        const size_t n = src(buffer.data(), size_t(std::min<qint64>(qint64(kBlockChunk), size - done)), done);
        if (n == 0)
            break;
        hashes.add(buffer.data(), n);
        dst(buffer.data(), n, done);
        done += qint64(n);
        report(progress, done, size);
    }
    return hashes.digests();
}

namespace {

// Two threads take a half each; only the caller's reports progress, so that
// a progress that throws ends the pass on the caller's side.
class DeltaPass {
public:
    DeltaPass(const ReadAt &src, const WriteAt &write, qint64 size, const QByteArray &before)
        : src_(src), write_(write), size_(size), before_(before),
          digests_(qsizetype((size + kDeltaBlock - 1) / kDeltaBlock * qint64(kDigest)), '\0')
    {
    }

    QByteArray run(const Progress &progress)
    {
        char *out = digests_.data(); // detached once, before any thread writes
        const qint64 blocks = (size_ + kDeltaBlock - 1) / kDeltaBlock;
        const qint64 middle = size_ > kSplitAbove ? blocks / 2 * kDeltaBlock : size_;
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
        while (done_ < size_ && failure_ == 0 && other.joinable()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            report(progress, done_, size_);
        }
        if (other.joinable())
            other.join();
        if (failure_ != 0)
            throw PlatformError(failure_);
        return digests_;
    }

private:
    void passCatching(qint64 from, qint64 to, char *out, const Progress *progress) noexcept
    {
        try {
            pass(from, to, out, progress);
        } catch (const PlatformError &e) {
            failure_ = e.number();
        } catch (...) {
            failure_ = kErrInternal;
        }
    }

    void pass(qint64 from, qint64 to, char *out, const Progress *progress)
    {
        std::vector<char> buffer(kBlockChunk);
        const qsizetype known = before_.size() / qsizetype(kDigest);
        for (qint64 at = from; at < to && !stop_ && failure_ == 0;) {
            const size_t want = size_t(std::min<qint64>(qint64(kBlockChunk), to - at));
            if (src_(buffer.data(), want, at) != want) // shrank under us
                throw PlatformError(kErrDiskIo);
            for (size_t b = 0; b < want; b += size_t(kDeltaBlock)) {
                const size_t n = std::min(size_t(kDeltaBlock), want - b);
                const qsizetype index = qsizetype((at + qint64(b)) / kDeltaBlock);
                const XXH128_hash_t h = XXH3_128bits(buffer.data() + b, n);
                std::memcpy(out + index * qsizetype(kDigest), &h, kDigest);
                if (index >= known || std::memcmp(before_.constData() + index * qsizetype(kDigest), &h, kDigest) != 0)
                    write_(buffer.data() + b, n, at + qint64(b));
            }
            at += qint64(want);
            done_ += qint64(want);
            if (progress)
                report(*progress, done_, size_);
        }
    }

    const ReadAt &src_;
    const WriteAt &write_;
    qint64 size_;
    const QByteArray &before_;
    QByteArray digests_;
    std::atomic<qint64> done_{0};
    std::atomic<int> failure_{0};
    std::atomic<bool> stop_{false};
};

} // namespace

QByteArray deltaPass(const ReadAt &src, const WriteAt &write, qint64 size, const QByteArray &before,
                     const Progress &progress)
{
    return DeltaPass(src, write, size, before).run(progress);
}

WriteAt keepBlocks(ChangedBlocks &out, std::function<WriteAt()> openSpill)
{
    // Shared by the writer's copies; blocks arrive from either half of the pass.
    struct Store {
        std::mutex mutex;
        WriteAt spill;
        qint64 spillEnd = 0;
    };
    auto store = std::make_shared<Store>();
    return [&out, store, openSpill = std::move(openSpill)](const char *data, size_t n, qint64 offset) {
        const std::lock_guard lock(store->mutex);
        ChangedBlocks::Block block{offset, 0, qint64(n), false};
        if (out.held.size() + qsizetype(n) <= kHeldBound) {
            block.at = out.held.size();
            out.held.append(data, qsizetype(n));
        } else {
            if (!store->spill)
                store->spill = openSpill();
            block.at = store->spillEnd;
            block.spilled = true;
            store->spill(data, n, store->spillEnd);
            store->spillEnd += qint64(n);
        }
        out.blocks.push_back(block);
    };
}

void writeBlocks(const ChangedBlocks &changes, const ReadAt &spill, const WriteAt &dst, const Progress &progress)
{
    qint64 total = 0, done = 0;
    for (const ChangedBlocks::Block &b : changes.blocks)
        total += b.size;
    report(progress, 0, changes.size);
    std::vector<char> buffer(static_cast<size_t>(kDeltaBlock));
    for (const ChangedBlocks::Block &b : changes.blocks) {
        const char *data = changes.held.constData() + b.at;
        if (b.spilled) {
            if (spill(buffer.data(), size_t(b.size), b.at) != size_t(b.size))
                throw PlatformError(kErrDiskIo);
            data = buffer.data();
        }
        dst(data, size_t(b.size), b.offset);
        done += b.size;
        report(progress, qint64(double(done) / double(total) * double(changes.size)), changes.size);
    }
}

// The two share their positions through atomics. A hash that has caught up
// polls for a while rather than sleep: woken by the copy at every step, it
// was often moved onto the copy's own processor, the two then taking turns
// on one, and one backup in two took twice as long. A sleeper raises its
// flag before it looks at the positions, and a waker looks at the flag after
// it has moved one (all sequentially consistent): one of the two always sees
// the other.
struct HashBehind::Shared {
    explicit Shared(ReadAt read) : src(std::move(read)) {}

    template <class Ready>
    void copierSleepsUntil(Ready ready)
    {
        std::unique_lock lock(mutex);
        copierSleeps = true;
        changed.wait(lock, ready);
        copierSleeps = false;
    }
    void wake(const std::atomic<bool> &sleeps, bool always = false)
    {
        if (always || sleeps) {
            const std::lock_guard lock(mutex);
            changed.notify_all();
        }
    }
    // Until the copy has gone past `from`; false once asked to stop.
    bool waitForCopy(qint64 from)
    {
        // A millisecond or two: where the copy takes longer per step, the
        // target is what everything waits for and the hash may sleep.
        for (int i = 0; i < 2000; ++i) {
            if (stop)
                return false;
            if (copied > from)
                return true;
            std::this_thread::yield();
        }
        std::unique_lock lock(mutex);
        hasherSleeps = true;
        changed.wait(lock, [&] { return stop || copied > from; });
        hasherSleeps = false;
        return !stop;
    }
    void run() noexcept
    {
        try {
            std::vector<char> buffer(kHashChunk);
            for (qint64 from = 0; waitForCopy(from);) {
                const qint64 to = std::min<qint64>(copied, from + qint64(buffer.size()));
                const size_t want = size_t(to - from);
                if (src(buffer.data(), want, from) != want) // shrank after the copy
                    throw PlatformError(kErrDiskIo);
                hash.add(buffer.data(), want);
                hashed = from = to;
                wake(copierSleeps);
            }
        } catch (const PlatformError &e) {
            stopWith(e.number());
        } catch (...) {
            stopWith(kErrInternal);
        }
    }
    void stopWith(int number)
    {
        failure = number;
        wake(copierSleeps, true);
    }

    ReadAt src;
    Hasher hash;
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<qint64> copied{0}, hashed{0};
    std::atomic<int> failure{0};
    std::atomic<bool> stop{false}, hasherSleeps{false}, copierSleeps{false};
    std::thread thread; // started once the rest is set up
};

HashBehind::HashBehind(ReadAt src) : s_(std::make_unique<Shared>(std::move(src)))
{
    s_->thread = std::thread([this] { s_->run(); });
}

HashBehind::~HashBehind()
{
    s_->stop = true;
    s_->wake(s_->hasherSleeps, true);
    s_->thread.join();
}

void HashBehind::copiedUpTo(qint64 end)
{
    s_->copied = end;
    s_->wake(s_->hasherSleeps);
    if (end - s_->hashed > kMaxLag)
        s_->copierSleepsUntil([&] { return s_->failure != 0 || s_->copied - s_->hashed <= kMaxLag; });
    if (s_->failure != 0)
        throw PlatformError(s_->failure);
}

quint64 HashBehind::digest()
{
    s_->copierSleepsUntil([&] { return s_->failure != 0 || s_->hashed == s_->copied; });
    if (s_->failure != 0)
        throw PlatformError(s_->failure);
    return s_->hash.digest();
}

} // namespace fileops

} // namespace zdb
