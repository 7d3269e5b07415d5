#include "FileOps.h"

#include "PlatformError.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace zdb {

namespace fs = std::filesystem;

int errorNumberForErrno(int err, bool sourceSide)
{
    switch (err) {
    case ENOENT: return sourceSide ? kErrFileNotFound : kErrPathNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY: return kErrPermissionDenied;
    case ENAMETOOLONG:
    case EISDIR:
    case EINVAL:
    case ELOOP:
    case EEXIST: return kErrPathFileAccess;
    default: return kErrDiskIo;
    }
}

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

[[noreturn]] void fail(int err, bool sourceSide) { throw PlatformError(errorNumberForErrno(err, sourceSide)); }

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

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

// The name that temporary files beside target start with: the folder, a dot,
// the target's name (shortened to fit a folder entry) and the marker.
QByteArray tempPrefix(const QString &target, const char *marker)
{
    const qsizetype slash = target.lastIndexOf(u'/');
    QString name = target.mid(slash + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    const QString prefix = slash < 0 ? QString() : target.left(slash + 1);
    // Keep within the 255 bytes a folder entry may have.
    const QString tail = QString::fromLatin1(marker) + QStringLiteral("XXXXXX");
    while (native(u'.' + name + tail).size() > 255)
        name.chop(1);
    return native(prefix + u'.' + name + QString::fromLatin1(marker));
}

// Creates an empty temporary file beside target, returning its descriptor.
int makeTempBeside(const QString &target, const char *marker, QString *tempPath)
{
    QByteArray templ = tempPrefix(target, marker) + "XXXXXX";
    const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        fail(errno, false);
    *tempPath = QFile::decodeName(templ);
    return fd;
}

// Large enough that system calls cost little, small enough for a lean process.
constexpr size_t kChunk = 1 << 20;
// The kernel copy goes in steps small enough that the hash, right behind it,
// finds the bytes still in the processor's shared cache (of the steps tried,
// 512 KiB to 8 MiB, this measured best); the hash reads them into a buffer
// that stays in its core's own cache.
constexpr off_t kOffloadChunk = 2 << 20;
constexpr size_t kHashChunk = 256 << 10;
// How far the hash may fall behind the kernel copy: what it reads must still
// be in the cache.
constexpr off_t kMaxLag = 64 << 20;

// Streams bytes into an XXH3 64-bit hash.
class Hasher {
public:
    Hasher() : state_(XXH3_createState())
    {
        if (!state_)
            throw std::bad_alloc();
        XXH3_64bits_reset(state_);
    }
    ~Hasher() { XXH3_freeState(state_); }
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;
    void add(const char *data, size_t n) { XXH3_64bits_update(state_, data, n); }
    quint64 digest() const { return XXH3_64bits_digest(state_); }

private:
    XXH3_state_t *state_;
};

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

void report(const Progress &progress, off_t done, off_t total)
{
    if (progress)
        progress(qint64(done), qint64(total));
}

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

// Reads the source once into a buffer, hashing and writing it.
quint64 copyByReading(int src, int dst, off_t size, const Progress &progress)
{
    std::vector<char> buffer(kChunk);
    Hasher hash;
    off_t done = 0;
    for (;;) {
        const size_t n = readAt(src, buffer.data(), buffer.size(), done, true);
        if (n == 0)
            break;
        if (done + off_t(n) > size) // grew under us
            throw PlatformError(kErrDiskIo);
        hash.add(buffer.data(), n);
        writeAll(dst, buffer.data(), n);
        done += off_t(n);
        report(progress, done, size);
    }
    if (done != size)
        throw PlatformError(kErrDiskIo);
    return hash.digest();
}

// Hashes the source on a thread of its own, just behind the kernel copy,
// reading each range from the cache where the copy has just put it. The two
// share their positions through atomics. A hash that has caught up polls for
// a while rather than sleep: woken by the copy at every step, it was often
// moved onto the copy's own processor, the two then taking turns on one, and
// one backup in two took twice as long.
class HashBehind {
public:
    explicit HashBehind(int src) : src_(src), thread_([this] { run(); }) {}
    ~HashBehind()
    {
        stop_ = true;
        wake(hasherSleeps_, true);
        thread_.join();
    }
    HashBehind(const HashBehind &) = delete;
    HashBehind &operator=(const HashBehind &) = delete;

    // Bytes up to `end` are copied; waits while the hash lags too far.
    void copiedUpTo(off_t end)
    {
        copied_ = end;
        wake(hasherSleeps_);
        if (end - hashed_ > kMaxLag)
            copierSleepsUntil([&] { return failure_ != 0 || copied_ - hashed_ <= kMaxLag; });
        if (failure_ != 0)
            throw PlatformError(failure_);
    }
    quint64 digest()
    {
        copierSleepsUntil([&] { return failure_ != 0 || hashed_ == copied_; });
        if (failure_ != 0)
            throw PlatformError(failure_);
        return hash_.digest();
    }

private:
    // A sleeper raises its flag before it looks at the positions, and a
    // waker looks at the flag after it has moved one (all sequentially
    // consistent): one of the two always sees the other.
    template <class Ready>
    void copierSleepsUntil(Ready ready)
    {
        std::unique_lock lock(mutex_);
        copierSleeps_ = true;
        changed_.wait(lock, ready);
        copierSleeps_ = false;
    }
    void wake(const std::atomic<bool> &sleeps, bool always = false)
    {
        if (always || sleeps) {
            const std::lock_guard lock(mutex_);
            changed_.notify_all();
        }
    }
    // Until the copy has gone past `from`; false once asked to stop.
    bool waitForCopy(off_t from)
    {
        // A millisecond or two: where the copy takes longer per step, the
        // target is what everything waits for and the hash may sleep.
        for (int i = 0; i < 2000; ++i) {
            if (stop_)
                return false;
            if (copied_ > from)
                return true;
            std::this_thread::yield();
        }
        std::unique_lock lock(mutex_);
        hasherSleeps_ = true;
        changed_.wait(lock, [&] { return stop_ || copied_ > from; });
        hasherSleeps_ = false;
        return !stop_;
    }

    void run() noexcept
    {
        try {
            std::vector<char> buffer(kHashChunk);
            for (off_t from = 0; waitForCopy(from);) {
                const off_t to = std::min<off_t>(copied_, from + off_t(buffer.size()));
                const size_t want = size_t(to - from);
                if (readAt(src_, buffer.data(), want, from, true) != want) // shrank after the copy
                    throw PlatformError(kErrDiskIo);
                hash_.add(buffer.data(), want);
                hashed_ = from = to;
                wake(copierSleeps_);
            }
        } catch (const PlatformError &e) {
            stopWith(e.number());
        } catch (...) {
            stopWith(kErrInternal);
        }
    }
    void stopWith(int number)
    {
        failure_ = number;
        wake(copierSleeps_, true);
    }

    int src_;
    Hasher hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<off_t> copied_{0}, hashed_{0};
    std::atomic<int> failure_{0};
    std::atomic<bool> stop_{false}, hasherSleeps_{false}, copierSleeps_{false};
    std::thread thread_; // last: starts once the rest is set up
};

// The kernel copies chunk after chunk while the hash follows on a second
// thread. A short copy just goes on from where it stopped. False when the
// kernel cannot copy between these files.
bool copyByOffload(const SystemCalls &sys, int src, int dst, off_t size, const Progress &progress, quint64 *checksum)
{
    HashBehind hash(src);
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
            result.checksum = copyByReading(src, dst, size, progress);
    }
    checkSizeUnchanged(src, dst, size);
    report(progress, size, size);
    return result;
}

bool isAbsentMark(const QString &path)
{
    return QStringView(path).mid(path.lastIndexOf(u'/') + 1).contains(QLatin1StringView(kAbsentMarker));
}

bool present(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(native(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The names this program gave beside target under marker: exactly what
// mkostemp makes of its template, an ordinary file of this user (a link or
// folder is not one we made). Newest change first.
QStringList ourFilesBeside(const QString &target, const char *marker)
{
    const QByteArray prefix = tempPrefix(target, marker);
    const qsizetype slash = prefix.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : prefix.left(slash);
    const QByteArray namePrefix = prefix.mid(slash + 1);
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(folder.constData()), ::closedir);
    if (!dir)
        return {};
    std::vector<std::pair<struct timespec, QByteArray>> ours;
    const int dfd = ::dirfd(dir.get());
    while (const dirent *e = ::readdir(dir.get())) {
        const QByteArray name(e->d_name);
        if (name.size() != namePrefix.size() + 6 || !name.startsWith(namePrefix))
            continue;
        const QByteArray tail = name.right(6);
        if (!std::all_of(tail.begin(), tail.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            continue;
        struct stat st;
        if (::fstatat(dfd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_uid == ::geteuid())
            ours.emplace_back(st.st_ctim, name);
    }
    std::sort(ours.begin(), ours.end(), [](const auto &a, const auto &b) {
        return a.first.tv_sec != b.first.tv_sec ? a.first.tv_sec > b.first.tv_sec : a.first.tv_nsec > b.first.tv_nsec;
    });
    QStringList paths;
    for (const auto &entry : ours)
        paths << QFile::decodeName(slash < 0 ? entry.second : folder + '/' + entry.second);
    return paths;
}

} // namespace

SystemCalls SystemCalls::host()
{
    SystemCalls calls;
    calls.copyFileRange = [](int in, off_t *inOffset, int out, off_t *outOffset, size_t length) {
        return ::copy_file_range(in, inOffset, out, outOffset, length, 0);
    };
    calls.rename = [](const char *from, const char *to) { return ::rename(from, to); };
    calls.syncFolder = [](int folderFd) { return ::fsync(folderFd); };
    return calls;
}

HostFileOps::HostFileOps(CopyMethod method, SystemCalls calls) : method_(method), sys_(std::move(calls)) {}

void HostFileOps::renameOver(const QString &from, const QString &to)
{
    if (sys_.rename(native(from).constData(), native(to).constData()) != 0)
        fail(errno, false);
}

bool HostFileOps::tryRename(const QString &from, const QString &to)
{
    return sys_.rename(native(from).constData(), native(to).constData()) == 0;
}

// A create or rename is on disk only once its folder is.
void HostFileOps::syncFolder(const QString &folder)
{
    Fd dir(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        fail(errno, false);
    // Some file systems cannot flush a folder at all: nothing to wait for there.
    if (sys_.syncFolder(dir.fd) != 0 && errno != EINVAL && errno != EOPNOTSUPP)
        fail(errno, false);
}

// The names are right again; the failure that called for the undo is the
// one to report.
void HostFileOps::syncFolderAfterUndo(const QString &folder) noexcept
{
    try {
        syncFolder(folder);
    } catch (...) {
    }
}

bool HostFileOps::fileExists(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HostFileOps::makeSureDirectoryPathExists(const QString &folderPath)
{
    const qsizetype slash = folderPath.lastIndexOf(u'/');
    if (slash < 0)
        return true;
    const QByteArray folder = native(slash == 0 ? QStringLiteral("/") : folderPath.left(slash));
    // One folder at a time, so that each new one is flushed in its parent.
    // The mode leaves the rest to the operator's umask.
    QByteArray at = folder.startsWith('/') ? QByteArray("/") : QByteArray();
    for (const QByteArray &part : folder.split('/')) {
        if (part.isEmpty())
            continue;
        const QByteArray parent = at.isEmpty() ? QByteArray(".") : at;
        at += (at.isEmpty() || at.endsWith('/') ? QByteArray() : QByteArray("/")) + part;
        if (::mkdir(at.constData(), 0777) == 0) {
            try {
                syncFolder(QFile::decodeName(parent));
            } catch (const PlatformError &) {
                return false;
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st;
    return ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostFileOps::sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && b.isEmpty();
    struct stat sa, sb;
    if (::stat(native(a).constData(), &sa) == 0 && ::stat(native(b).constData(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    // A path with no file yet: compare where the two paths lead.
    std::error_code ea, eb;
    const fs::path pa = fs::weakly_canonical(fs::absolute(native(a).toStdString(), ea), ea);
    const fs::path pb = fs::weakly_canonical(fs::absolute(native(b).toStdString(), eb), eb);
    if (ea || eb)
        return a == b;
    return pa == pb;
}

qint64 HostFileOps::fileSize(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return qint64(st.st_size);
}

FreeSpace HostFileOps::freeSpace(const QString &path)
{
    // A folder the run has yet to create lives on its nearest existing ancestor.
    std::error_code ec;
    fs::path at = fs::absolute(fs::path(native(folderOf(path)).toStdString()), ec);
    FreeSpace result;
    if (ec)
        return result;
    for (;;) {
        struct stat st;
        struct statvfs vfs;
        if (::stat(at.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::statvfs(at.c_str(), &vfs) == 0) {
            result.device = quint64(st.st_dev);
            result.available = quint64(vfs.f_bavail) * quint64(vfs.f_frsize);
            result.known = true;
            return result;
        }
        if (!at.has_relative_path())
            return result;
        at = at.parent_path();
    }
}

StagedCopy HostFileOps::stageCopy(const QString &from, const QString &target, const Progress &progress)
{
    if (from.isEmpty())
        throw PlatformError(kErrFileNotFound);
    Fd src(::open(native(from).constData(), O_RDONLY | O_CLOEXEC));
    if (src.fd < 0)
        fail(errno, true);
    struct stat st;
    if (::fstat(src.fd, &st) != 0)
        fail(errno, true);
    if (!S_ISREG(st.st_mode))
        throw PlatformError(kErrFileNotFound);

    QString temp;
    Fd dst(makeTempBeside(target, kTempMarker, &temp));
    try {
        StagedCopy copy = copyContents(sys_, src.fd, dst.fd, st.st_size, method_, progress);
        copy.path = temp;
        // Flushed later, when the database runs again: the flush is no downtime.
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(dst.fd, st.st_mode & 07777) != 0 || ::futimens(dst.fd, times) != 0)
            fail(errno, false);
        const int fd = dst.fd;
        dst.fd = -1;
        if (::close(fd) != 0)
            fail(errno, false);
        return copy;
    } catch (...) {
        ::unlink(native(temp).constData());
        throw;
    }
}

bool HostFileOps::verifyCopy(const StagedCopy &copy, const Progress &progress)
{
    Fd fd(::open(native(copy.path).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0)
        fail(errno, false);
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
    std::vector<char> buffer(kChunk);
    Hasher hash;
    off_t done = 0;
    for (;;) {
        const size_t n = readAt(fd.fd, buffer.data(), buffer.size(), done, false);
        if (n == 0)
            break;
        hash.add(buffer.data(), n);
        done += off_t(n);
        report(progress, std::min(done, st.st_size), st.st_size);
        // What was checked need not stay in the cache.
        ::posix_fadvise(fd.fd, done - off_t(n), off_t(n), POSIX_FADV_DONTNEED);
    }
    return done == st.st_size && hash.digest() == copy.checksum;
}

QString HostFileOps::resolveTarget(const QString &target)
{
    QString path = target;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (path.isEmpty() || ::lstat(native(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        if (hops == 40) // as the kernel counts a loop
            throw PlatformError(kErrPathFileAccess);
        std::error_code ec;
        const fs::path link = fs::read_symlink(fs::path(native(path).toStdString()), ec);
        if (ec)
            fail(ec.value(), false);
        const QString dest = QFile::decodeName(QByteArray::fromStdString(link.native()));
        // A relative link starts from the folder that holds it.
        const qsizetype slash = path.lastIndexOf(u'/');
        path = dest.startsWith(u'/') || slash < 0 ? dest : path.left(slash + 1) + dest;
    }
}

QString HostFileOps::foreignFolder(const QString &targetPath)
{
    if (targetPath.isEmpty())
        return {};
    std::error_code ec;
    const fs::path whole = fs::absolute(fs::path(native(targetPath).toStdString()), ec);
    if (ec)
        return {};
    // Walked as the kernel walks it, links followed where they stand, so that
    // every folder the copy passes through is looked at.
    std::deque<std::string> todo;
    for (const fs::path &part : whole.relative_path())
        todo.push_back(part.native());
    fs::path at = "/";
    struct stat atSt;
    if (::lstat("/", &atSt) != 0)
        return {};
    const uid_t me = ::geteuid();
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            at = at.parent_path();
            if (::lstat(at.c_str(), &atSt) != 0)
                return {};
            continue;
        }
        const fs::path next = at / name;
        struct stat st;
        if (::lstat(next.c_str(), &st) != 0)
            return {}; // the run makes the rest itself
        const bool shared = (atSt.st_mode & S_ISVTX) && (atSt.st_mode & S_IWOTH);
        if (shared && st.st_uid != 0 && st.st_uid != me && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
            return QFile::decodeName(QByteArray::fromStdString(next.native()));
        if (S_ISLNK(st.st_mode)) {
            const fs::path dest = fs::read_symlink(next, ec);
            if (ec || ++links > 40)
                return {}; // the copy fails on its own
            std::vector<std::string> parts;
            for (const fs::path &part : dest.relative_path())
                parts.push_back(part.native());
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (dest.is_absolute()) {
                at = "/";
                if (::lstat("/", &atSt) != 0)
                    return {};
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode))
            return {};
        at = next;
        atSt = st;
    }
    return {};
}

QString HostFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    const QString folder = folderOf(target);
    struct stat st;
    if (::lstat(native(target).constData(), &st) != 0) {
        // The mark goes down before the copy moves in: a run cut short
        // between its two swaps is then told from one that finished.
        QString absent;
        ::close(makeTempBeside(target, kAbsentMarker, &absent));
        try {
            renameOver(staged, target);
        } catch (...) {
            ::unlink(native(absent).constData());
            throw;
        }
        try {
            syncFolder(folder);
        } catch (...) {
            if (!tryRename(target, staged))
                return absent; // the swap stands
            ::unlink(native(absent).constData());
            syncFolderAfterUndo(folder);
            throw;
        }
        return absent;
    }
    if (S_ISDIR(st.st_mode))
        throw PlatformError(kErrPathFileAccess);
    // Plain renames, the previous copy aside first: at every moment each name
    // holds one thing (the staged name the new copy, the previous name the
    // previous copy or nothing yet), so a run killed anywhere can be put right.
    // An exchange-rename would leave the new copy under the previous name.
    QString previous;
    ::close(makeTempBeside(target, kPreviousMarker, &previous));
    if (!tryRename(target, previous)) {
        const int err = errno;
        ::unlink(native(previous).constData());
        fail(err, false);
    }
    if (!tryRename(staged, target)) {
        const int err = errno;
        tryRename(previous, target);
        fail(err, false);
    }
    try {
        syncFolder(folder);
    } catch (...) {
        try {
            unswap(staged, previous, target);
        } catch (...) {
            return previous; // the swap stands
        }
        syncFolderAfterUndo(folder);
        throw;
    }
    return previous;
}

// Puts the previous file back at target and the new one at staged; throws
// when the previous file is not back.
void HostFileOps::unswap(const QString &staged, const QString &previous, const QString &target)
{
    if (previous.isEmpty() || isAbsentMark(previous)) {
        renameOver(target, staged);
        discard(previous);
        return;
    }
    renameOver(target, staged);
    if (!tryRename(previous, target)) {
        const int err = errno;
        tryRename(staged, target); // the swap stands again
        fail(err, false);
    }
}

void HostFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    unswap(staged, previous, target);
    syncFolderAfterUndo(folderOf(target));
}

QString HostFileOps::moveAside(const QString &target)
{
    struct stat st;
    if (target.isEmpty() || ::lstat(native(target).constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return {};
    QString aside;
    ::close(makeTempBeside(target, kPreviousMarker, &aside));
    try {
        renameOver(target, aside);
    } catch (...) {
        ::unlink(native(aside).constData());
        throw;
    }
    const QString folder = folderOf(target);
    try {
        syncFolder(folder);
    } catch (...) {
        if (!tryRename(aside, target))
            return aside; // it stays aside
        syncFolderAfterUndo(folder);
        throw;
    }
    return aside;
}

void HostFileOps::moveBack(const QString &aside, const QString &target)
{
    if (aside.isEmpty())
        return;
    renameOver(aside, target);
    syncFolderAfterUndo(folderOf(target));
}

void HostFileOps::discard(const QString &path) noexcept
{
    if (!path.isEmpty())
        ::unlink(native(path).constData());
}

void HostFileOps::recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept
{
    try {
        removeLeftovers(dataTarget);
        removeLeftovers(logTarget);
        const auto previousOf = [](const QString &target) {
            QStringList found;
            for (const QString &path : ourFilesBeside(target, kPreviousMarker)) {
                struct stat st;
                // An empty one beside its standing target is a name taken
                // for a copy that was never moved aside.
                if (present(target) && ::stat(native(path).constData(), &st) == 0 && st.st_size == 0)
                    ::unlink(native(path).constData());
                else
                    found << path;
            }
            // A mark that a target had no previous copy counts as its previous copy.
            return found + ourFilesBeside(target, kAbsentMarker);
        };
        QStringList dataPrevious = previousOf(dataTarget);
        QStringList logPrevious = previousOf(logTarget);
        if (dataPrevious.isEmpty() && logPrevious.isEmpty())
            return;
        // Killed inside the commit: a target is missing beside its previous
        // copy, or the data side has one and the log side none (the new data
        // copy stands beside the old log). Then the previous pair goes back.
        const bool killedInCommit = (!present(dataTarget) && !dataPrevious.isEmpty())
            || (!present(logTarget) && !logPrevious.isEmpty()) || (!dataPrevious.isEmpty() && logPrevious.isEmpty());
        if (killedInCommit) {
            for (auto [list, target] : {std::pair{&dataPrevious, dataTarget}, std::pair{&logPrevious, logTarget}}) {
                if (list->isEmpty())
                    continue;
                // Where nothing stood before, a copy that arrived stays: it
                // may be the only one.
                const QString &front = list->front();
                if (isAbsentMark(front) || tryRename(front, target)) {
                    if (isAbsentMark(front))
                        discard(front);
                    list->removeFirst();
                    syncFolderAfterUndo(folderOf(target));
                }
            }
        }
        // Older previous copies go only where a whole pair stands.
        if (!present(dataTarget) || !present(logTarget))
            return;
        for (const QStringList *list : {&dataPrevious, &logPrevious})
            for (const QString &path : *list)
                ::unlink(native(path).constData());
        syncFolderAfterUndo(folderOf(dataTarget));
        syncFolderAfterUndo(folderOf(logTarget));
    } catch (...) {
        // A target whose files cannot be named has none of ours.
    }
}

void HostFileOps::removeLeftovers(const QString &target) noexcept
{
    try {
        for (const QString &path : ourFilesBeside(target, kTempMarker))
            ::unlink(native(path).constData());
    } catch (...) {
        // A target whose leftovers cannot be named has none of ours.
    }
}

quint64 contentChecksum(const QByteArray &bytes) { return XXH3_64bits(bytes.constData(), size_t(bytes.size())); }

} // namespace zdb
