// The host's files on Windows: wide paths, drive letters and shares, names
// Windows keeps for devices refused, copies flushed and put in place with
// write-through renames.
#include "FileOps.h"

#include "PlatformError.h"
#include "Text.h"
#include "Win32_win.h"

#include <QDir>
#include <QRandomGenerator>
#include <QThread>

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace zdb {

using win::Handle;
using win::longPath;

namespace {

constexpr DWORD kChunk = 1 << 20;
// A database service may hold its files a moment past SERVICE_STOPPED.
constexpr int kHeldRetryMs = 10000;
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

[[noreturn]] void fail(DWORD error, bool sourceSide) { throw PlatformError(win::errorNumberFor(error, sourceSide)); }

qsizetype lastSeparator(const QString &path) { return std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\')); }

QString folderOf(const QString &path)
{
    const qsizetype at = lastSeparator(path);
    return at < 0 ? QStringLiteral(".") : path.left(at == 0 || (at == 2 && path[1] == u':') ? at + 1 : at);
}

// A name Windows keeps for a device (CON, NUL, COM1…, with any extension),
// or one ending in a dot or a blank, which Windows would quietly cut.
bool badComponent(const QString &part)
{
    if (part.isEmpty() || part == u'.' || part == QLatin1String(".."))
        return false;
    if (part.endsWith(u'.') || part.endsWith(u' '))
        return true;
    const QString base = part.left(part.indexOf(u'.')).trimmed().toUpper();
    static const QStringList devices{QStringLiteral("CON"), QStringLiteral("PRN"),    QStringLiteral("AUX"),
                                     QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (devices.contains(base))
        return true;
    return base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && base[3] >= u'1' && base[3] <= u'9';
}

// Throws 75 for a path no copy may be read from or written to.
void checkName(const QString &path)
{
    QString rest = QDir::toNativeSeparators(path);
    if (rest.startsWith(QLatin1String("\\\\?\\")))
        rest = rest.mid(4);
    const QStringList parts = rest.split(u'\\');
    for (qsizetype i = 0; i < parts.size(); ++i)
        if ((i > 0 || !parts[i].endsWith(u':')) && badComponent(parts[i]))
            throw PlatformError(kErrPathFileAccess);
    if (rest.indexOf(u':', 2) >= 0 || parts.constLast().isEmpty())
        throw PlatformError(kErrPathFileAccess);
}

bool attributes(const QString &path, WIN32_FILE_ATTRIBUTE_DATA *data)
{
    return !path.isEmpty() && ::GetFileAttributesExW(longPath(path).c_str(), GetFileExInfoStandard, data);
}

bool isFile(const WIN32_FILE_ATTRIBUTE_DATA &data)
{
    return !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

bool present(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributes(path, &data) && isFile(data);
}

// The one naming rule for staged copies, previous copies and marks beside
// target: the folder, a dot, the target's name (cut and followed by a hash
// where a folder entry would be too long) and the marker.
QString tempPrefix(const QString &target, const char *marker)
{
    const qsizetype at = lastSeparator(target);
    const QString name = target.mid(at + 1);
    if (name.isEmpty())
        throw PlatformError(kErrPathFileAccess);
    QString entry = u'.' + name;
    const qsizetype tail = qsizetype(qstrlen(marker)) + 6;
    if (entry.size() + tail > 255) {
        const QString hash = u'~' + QString::number(XXH3_64bits(entry.utf16(), size_t(entry.size()) * 2), 16);
        entry = entry.left(255 - tail - hash.size());
        if (entry.back().isHighSurrogate())
            entry.chop(1);
        entry += hash;
    }
    return target.left(at + 1) + entry + QLatin1String(marker);
}

// Creates an empty file under a new name beside target, flushed, and
// returns its name.
QString makeTempFile(const QString &target, const char *marker)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QString prefix = tempPrefix(target, marker);
    for (int tries = 0;; ++tries) {
        QString name = prefix;
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(kLetters[QRandomGenerator::system()->bounded(62)]);
        const Handle h(::CreateFileW(longPath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (h.valid()) {
            if (!::FlushFileBuffers(h.get())) {
                const DWORD error = ::GetLastError();
                ::DeleteFileW(longPath(name).c_str());
                fail(error, false);
            }
            return name;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS || tries > 100)
            fail(::GetLastError(), false);
    }
}

void moveOver(const QString &from, const QString &to)
{
    if (!::MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), kMoveFlags))
        fail(::GetLastError(), false);
}

bool isAbsentMark(const QString &path)
{
    return QStringView(path).mid(lastSeparator(path) + 1).contains(QLatin1StringView(kAbsentMarker));
}

// The names this program gave beside target under marker: the prefix and six
// letters or digits, an ordinary file (no folder, no link). Newest first.
QStringList ourFilesBeside(const QString &target, const char *marker)
{
    const QString prefix = tempPrefix(target, marker);
    const qsizetype at = lastSeparator(prefix);
    const QString folder = prefix.left(at + 1);
    const QString namePrefix = prefix.mid(at + 1);
    WIN32_FIND_DATAW found;
    const std::wstring pattern = longPath(prefix + QStringLiteral("??????"));
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return {};
    std::vector<std::pair<quint64, QString>> ours;
    do {
        const QString name = win::fromWide(found.cFileName);
        const QString tail = name.mid(namePrefix.size());
        if (!name.startsWith(namePrefix) || tail.size() != 6
            || !std::all_of(tail.begin(), tail.end(), [](QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); })
            || (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        ours.emplace_back(quint64(found.ftLastWriteTime.dwHighDateTime) << 32 | found.ftLastWriteTime.dwLowDateTime,
                          folder + name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(ours.begin(), ours.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList paths;
    for (const auto &entry : ours)
        paths << entry.second;
    return paths;
}

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

struct AlignedBuffer {
    AlignedBuffer()
        : data(static_cast<char *>(::VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
        if (!data)
            throw std::bad_alloc();
    }
    ~AlignedBuffer() { ::VirtualFree(data, 0, MEM_RELEASE); }
    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;
    char *data;
};

// Opens a stopped source so that nobody writes to it while it is copied. A
// database server may hold it a moment past its stop: tried again briefly.
Handle openStoppedSource(const QString &from)
{
    if (from.isEmpty())
        throw PlatformError(kErrFileNotFound);
    const std::wstring path = longPath(from);
    for (int waited = 0;; waited += 100) {
        Handle h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (h.valid())
            return h;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || waited >= kHeldRetryMs)
            fail(error, true);
        QThread::msleep(100);
    }
}

qint64 sizeOf(HANDLE h)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size))
        fail(::GetLastError(), true);
    return size.QuadPart;
}

void readAll(HANDLE h, char *buffer, DWORD want, DWORD *got, bool sourceSide)
{
    *got = 0;
    while (*got < want) {
        DWORD n = 0;
        if (!::ReadFile(h, buffer + *got, want - *got, &n, nullptr))
            fail(::GetLastError(), sourceSide);
        if (n == 0)
            return;
        *got += n;
    }
}

} // namespace

int errorNumberForErrno(int err, bool sourceSide)
{
    switch (err) {
    case ENOENT: return sourceSide ? kErrFileNotFound : kErrPathNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ENOSPC:
    case EFBIG: return kErrDiskFull;
    case EACCES:
    case EPERM:
    case EROFS: return kErrPermissionDenied;
    case ENAMETOOLONG:
    case EISDIR:
    case EINVAL:
    case EEXIST: return kErrPathFileAccess;
    default: return kErrDiskIo;
    }
}

quint64 contentChecksum(const QByteArray &bytes) { return XXH3_64bits(bytes.constData(), size_t(bytes.size())); }

// The system calls the Unix file operations take from tests; none here.
SystemCalls SystemCalls::host() { return {}; }

HostFileOps::HostFileOps(CopyMethod method, SystemCalls calls) : method_(method), sys_(std::move(calls)) {}

bool HostFileOps::fileExists(const QString &path) { return present(path); }

bool HostFileOps::makeSureDirectoryPathExists(const QString &folderPath)
{
    const qsizetype at = lastSeparator(folderPath);
    if (at < 0)
        return true;
    return QDir().mkpath(folderOf(folderPath));
}

bool HostFileOps::sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && b.isEmpty();
    // Attributes only: a database server's files open that way while it runs.
    const auto identity = [](const QString &path, FILE_ID_INFO *id) {
        const Handle h(::CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!h.valid())
            return false;
        if (::GetFileInformationByHandleEx(h.get(), FileIdInfo, id, sizeof *id))
            return true;
        // Where the volume has no 128-bit identities (FAT, some shares).
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(h.get(), &info))
            return false;
        *id = {};
        id->VolumeSerialNumber = info.dwVolumeSerialNumber;
        const quint64 index = quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        std::memcpy(id->FileId.Identifier, &index, sizeof index);
        return true;
    };
    FILE_ID_INFO ia, ib;
    if (identity(a, &ia) && identity(b, &ib))
        return ia.VolumeSerialNumber == ib.VolumeSerialNumber
            && std::memcmp(ia.FileId.Identifier, ib.FileId.Identifier, sizeof ia.FileId.Identifier) == 0;
    return QString::fromStdWString(longPath(a)).compare(QString::fromStdWString(longPath(b)), Qt::CaseInsensitive) == 0;
}

qint64 HostFileOps::fileSize(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributes(path, &data) || !isFile(data))
        return -1;
    return qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

FreeSpace HostFileOps::freeSpace(const QString &path)
{
    FreeSpace space;
    QString folder = folderOf(path);
    for (int depth = 0; depth < 256; ++depth) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (attributes(folder, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            break;
        const QString up = folderOf(folder);
        if (up == folder)
            return space;
        folder = up;
    }
    const std::wstring at = longPath(folder.endsWith(u'\\') || folder.endsWith(u'/') ? folder : folder + u'\\');
    ULARGE_INTEGER available{}, total{}, free{};
    if (!::GetDiskFreeSpaceExW(at.c_str(), &available, &total, &free))
        return space;
    // The volume's serial number tells file systems apart.
    DWORD serial = 0;
    const Handle folderHandle(::CreateFileW(at.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (folderHandle.valid() && ::GetFileInformationByHandle(folderHandle.get(), &info))
        serial = info.dwVolumeSerialNumber;
    space.device = serial;
    space.available = available.QuadPart;
    space.known = true;
    return space;
}

QString HostFileOps::resolveTarget(const QString &target)
{
    if (!trimSpaces(target).isEmpty())
        checkName(target);
    return target;
}

// Who else may write to a folder is the folder's access list on Windows;
// reading those lists is not done yet, so every folder passes.
QString HostFileOps::foreignFolder(const QString &) { return {}; }

StagedCopy HostFileOps::stageCopy(const QString &from, const QString &target, const Progress &progress)
{
    const Handle src = openStoppedSource(from);
    const qint64 size = sizeOf(src.get());
    const QString temp = makeTempFile(target, kTempMarker);
    try {
        Handle dst(::CreateFileW(longPath(temp).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!dst.valid())
            fail(::GetLastError(), false);
        AlignedBuffer buffer;
        Hasher hash;
        qint64 done = 0;
        if (progress)
            progress(0, size);
        for (;;) {
            DWORD n = 0;
            readAll(src.get(), buffer.data, kChunk, &n, true);
            if (n == 0)
                break;
            hash.add(buffer.data, n);
            DWORD written = 0;
            if (!::WriteFile(dst.get(), buffer.data, n, &written, nullptr) || written != n)
                fail(::GetLastError(), false);
            done += n;
            if (progress)
                progress(std::min(done, size), size);
        }
        // Nobody could write meanwhile; a size that moved is a fault of the disk.
        if (done != size || sizeOf(src.get()) != size)
            throw PlatformError(kErrDiskIo);
        FILETIME created, accessed, modified;
        if (!::GetFileTime(src.get(), &created, &accessed, &modified)
            || !::SetFileTime(dst.get(), nullptr, &accessed, &modified))
            fail(::GetLastError(), false);
        StagedCopy copy;
        copy.path = temp;
        copy.checksum = hash.digest();
        return copy;
    } catch (...) {
        ::DeleteFileW(longPath(temp).c_str());
        throw;
    }
}

// Before the stop. A database server on Windows holds its files with no
// sharing, so they cannot be read while it runs: such a file is copied whole
// in the downtime. The pass that writes only changed blocks is not built for
// Windows yet, so every file is.
PreCopy HostFileOps::preCopy(const QString &, const QString &, const Progress &) { return {}; }

StagedCopy HostFileOps::finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                                   const Progress &progress)
{
    discard(pre.path);
    return stageCopy(from, target, progress);
}

bool HostFileOps::verifyCopy(const StagedCopy &copy, const Progress &progress)
{
    {
        // Flushed now that the database runs again: the flush is no downtime.
        const Handle h(::CreateFileW(longPath(copy.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        if (!h.valid() || !::FlushFileBuffers(h.get()))
            fail(::GetLastError(), false);
    }
    // Past the cache, so that the disk itself is read.
    const Handle h(::CreateFileW(longPath(copy.path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!h.valid())
        fail(::GetLastError(), false);
    const qint64 size = sizeOf(h.get());
    if (progress)
        progress(0, size);
    if (copy.shared) {
        if (progress)
            progress(size, size);
        return true;
    }
    AlignedBuffer buffer;
    Hasher hash;
    qint64 done = 0;
    for (;;) {
        DWORD n = 0;
        readAll(h.get(), buffer.data, kChunk, &n, false);
        if (n == 0)
            break;
        hash.add(buffer.data, n);
        done += n;
        if (progress)
            progress(std::min(done, size), size);
    }
    return done == size && hash.digest() == copy.checksum;
}

// Each move is written through to the disk before the next relies on it, so
// that a crash anywhere leaves names recovery can read.
QString HostFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributes(target, &data)) {
        // The mark is on disk before the copy moves in: a run cut short
        // between its two swaps is then told from one that finished.
        QString absent = makeTempFile(target, kAbsentMarker);
        try {
            moveOver(staged, target);
        } catch (...) {
            removeFlushed(absent);
            throw;
        }
        return absent;
    }
    if (!isFile(data))
        throw PlatformError(kErrPathFileAccess);
    // The previous copy aside first: each name holds one thing at every moment.
    QString previous = makeTempFile(target, kPreviousMarker);
    try {
        moveOver(target, previous);
    } catch (...) {
        ::DeleteFileW(longPath(previous).c_str());
        throw;
    }
    try {
        moveOver(staged, target);
    } catch (...) {
        // Where even this fails, recovery finds the target missing beside
        // its previous copy and puts that back.
        ::MoveFileExW(longPath(previous).c_str(), longPath(target).c_str(), MOVEFILE_WRITE_THROUGH);
        throw;
    }
    return previous;
}

void HostFileOps::unswap(const QString &staged, const QString &previous, const QString &target)
{
    moveOver(target, staged);
    if (previous.isEmpty() || isAbsentMark(previous)) {
        removeFlushed(previous);
        return;
    }
    moveOver(previous, target);
}

void HostFileOps::swapBack(const QString &staged, const QString &previous, const QString &target)
{
    unswap(staged, previous, target);
}

QString HostFileOps::moveAside(const QString &target)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (target.isEmpty() || !attributes(target, &data))
        return {};
    if (!isFile(data))
        throw PlatformError(kErrPathFileAccess);
    QString aside = makeTempFile(target, kPreviousMarker);
    try {
        moveOver(target, aside);
    } catch (...) {
        ::DeleteFileW(longPath(aside).c_str());
        throw;
    }
    return aside;
}

void HostFileOps::moveBack(const QString &aside, const QString &target)
{
    if (!aside.isEmpty())
        moveOver(aside, target);
}

void HostFileOps::discard(const QString &path) noexcept
{
    if (!path.isEmpty())
        ::DeleteFileW(longPath(path).c_str());
}

void HostFileOps::removeFlushed(const QString &path)
{
    if (path.isEmpty())
        return;
    if (!::DeleteFileW(longPath(path).c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        fail(::GetLastError(), false);
}

bool HostFileOps::recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept
{
    try {
        removeLeftovers(dataTarget);
        removeLeftovers(logTarget);
        const auto previousOf = [this](const QString &target) {
            QStringList found;
            for (const QString &path : ourFilesBeside(target, kPreviousMarker)) {
                // An empty one beside its standing target is a name taken
                // for a copy that was never moved aside.
                if (present(target) && fileSize(path) == 0)
                    removeFlushed(path);
                else
                    found << path;
            }
            // A mark that a target had no previous copy counts as its previous copy.
            return found + ourFilesBeside(target, kAbsentMarker);
        };
        QStringList dataPrevious = previousOf(dataTarget);
        QStringList logPrevious = previousOf(logTarget);
        if (dataPrevious.isEmpty() && logPrevious.isEmpty())
            return true;
        // Killed inside the commit (the data side's previous copy goes
        // first, so it alone, or a missing target, says so): the previous
        // pair goes back.
        const bool killedInCommit =
            (!dataPrevious.isEmpty() && (logPrevious.isEmpty() || !present(dataTarget) || !present(logTarget)))
            || (!logPrevious.isEmpty() && !present(dataTarget) && !present(logTarget));
        if (killedInCommit) {
            for (auto [list, target] : {std::pair{&dataPrevious, dataTarget}, std::pair{&logPrevious, logTarget}}) {
                if (list->isEmpty())
                    continue;
                const QString front = list->takeFirst();
                if (isAbsentMark(front))
                    removeFlushed(front);
                else
                    moveOver(front, target);
            }
        }
        if (!present(dataTarget))
            return true;
        for (const QStringList *list : {&dataPrevious, &logPrevious})
            for (const QString &path : *list)
                removeFlushed(path);
        return true;
    } catch (...) {
        return false;
    }
}

void HostFileOps::removeLeftovers(const QString &target) noexcept
{
    try {
        for (const QString &path : ourFilesBeside(target, kTempMarker))
            ::DeleteFileW(longPath(path).c_str());
    } catch (...) {
    }
}

// Attributes only, before the stop: a database server's files cannot be
// opened while it runs.
void HostFileOps::checkSource(const QString &source)
{
    if (source.isEmpty())
        throw PlatformError(kErrFileNotFound);
    checkName(source);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributes(source, &data))
        fail(::GetLastError(), true);
    if (!isFile(data))
        throw PlatformError(kErrPathFileAccess);
}

void HostFileOps::prepareTarget(const QString &target)
{
    // As typed too: Windows would cut a blank at the end of the name.
    checkName(target);
    const QString path = trimSpaces(target);
    if (lastSeparator(path) >= 0 && !QDir().mkpath(folderOf(path)))
        throw PlatformError(kErrPathNotFound);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (attributes(path, &data) && !isFile(data))
        throw PlatformError(kErrPathFileAccess);
    removeFlushed(makeTempFile(path, kTempMarker));
}

} // namespace zdb
