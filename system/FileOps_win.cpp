// The host's files on Windows: wide paths, drive letters and shares, names
// Windows keeps for devices refused, files a running database holds, copies
// flushed and put in place with write-through renames.
#include "FileOps.h"
#include "FileOpsInternal.h"

#include "PlatformError.h"
#include "Text.h"
#include "Win32_win.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace zdb {

using namespace fileops;
using win::Handle;
using win::longPath;

namespace fileops {

qsizetype lastSeparator(const QString &path) { return std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\')); }

QString folderOf(const QString &path)
{
    const qsizetype at = lastSeparator(path);
    return at < 0 ? QStringLiteral(".") : path.left(at == 0 || (at == 2 && path[1] == u':') ? at + 1 : at);
}

qsizetype entrySize(const QString &name) { return name.size(); }
QByteArray entryBytes(const QString &name)
{
    return QByteArray(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
}

} // namespace fileops

namespace {

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// Any access a running database may still have its file open for.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void fail(DWORD error, bool sourceSide) { throw PlatformError(win::errorNumberFor(error, sourceSide)); }

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

bool isFileAt(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributes(path, &data) && isFile(data);
}

// Creates an empty file under a new name beside target, flushed, and
// returns it open for writing.
Handle makeTempFile(const QString &target, const char *marker, QString *made)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QString prefix = tempPrefix(target, marker);
    for (int tries = 0;; ++tries) {
        QString name = prefix;
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(kLetters[QRandomGenerator::system()->bounded(62)]);
        Handle h(::CreateFileW(longPath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (h.valid()) {
            if (!::FlushFileBuffers(h.get())) {
                const DWORD error = ::GetLastError();
                h.reset();
                ::DeleteFileW(longPath(name).c_str());
                fail(error, false);
            }
            *made = name;
            return h;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS || tries > 100)
            fail(::GetLastError(), false);
    }
}

// Buffers past the cache must start on a sector: whole pages do.
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

OVERLAPPED at(qint64 offset)
{
    OVERLAPPED o{};
    o.Offset = DWORD(quint64(offset) & 0xffffffffu);
    o.OffsetHigh = DWORD(quint64(offset) >> 32);
    return o;
}

// Reads up to n bytes at offset, fewer only at the end of the file.
size_t readAt(HANDLE h, char *buffer, size_t n, qint64 offset, bool sourceSide)
{
    size_t got = 0;
    while (got < n) {
        OVERLAPPED o = at(offset + qint64(got));
        DWORD r = 0;
        if (!::ReadFile(h, buffer + got, DWORD(std::min<size_t>(n - got, kChunk)), &r, &o)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            fail(::GetLastError(), sourceSide);
        }
        got += r;
        // Short only at the end (and the next read there would not start on
        // a sector).
        if (r < std::min<size_t>(n - got + r, kChunk))
            break;
    }
    return got;
}

ReadAt readerOf(HANDLE h, bool sourceSide)
{
    return [h, sourceSide](char *buffer, size_t n, qint64 offset) { return readAt(h, buffer, n, offset, sourceSide); };
}

WriteAt writerOf(HANDLE h)
{
    return [h](const char *data, size_t n, qint64 offset) {
        for (size_t done = 0; done < n;) {
            OVERLAPPED o = at(offset + qint64(done));
            DWORD w = 0;
            if (!::WriteFile(h, data + done, DWORD(std::min<size_t>(n - done, kChunk)), &w, &o) || w == 0)
                fail(::GetLastError(), false);
            done += w;
        }
    };
}

bool heldError(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// Opens a source to read. Stopped: so that nobody writes to it while it is
// copied. Running: beside whatever the database has it open for, or
// SourceHeld where it shares nothing.
Handle openSource(const QString &from, bool stopped)
{
    if (from.isEmpty())
        throw PlatformError(kErrFileNotFound);
    Handle h(::CreateFileW(longPath(from).c_str(), GENERIC_READ, stopped ? FILE_SHARE_READ : kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (h.valid())
        return h;
    const DWORD error = ::GetLastError();
    if (heldError(error))
        throw SourceHeld();
    fail(error, true);
}

Handle openStoppedSource(const QString &from)
{
    return openOnceLetGo([&] { return openSource(from, true); });
}

qint64 sizeOf(HANDLE h)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size))
        fail(::GetLastError(), true);
    return size.QuadPart;
}

void resize(HANDLE h, qint64 size)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (!::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end))
        fail(::GetLastError(), false);
}

// Windows counts time in 100 ns steps from 1601; kept as nanoseconds from 1970.
constexpr qint64 kTicksTo1970 = 116444736000000000LL;
qint64 nanoseconds(const LARGE_INTEGER &ticks) { return (ticks.QuadPart - kTicksTo1970) * 100; }

// What tells a staged file as a pre-copy left it: which file, its size, and
// its change and write times.
struct Identity {
    quint64 volume = 0, id = 0;
    qint64 size = 0, changedNs = 0, modifiedNs = 0, accessedNs = 0;
};

bool identityOf(HANDLE h, Identity *out)
{
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandle(h, &info)
        || !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return false;
    out->volume = info.dwVolumeSerialNumber;
    out->id = quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    out->size = qint64(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    out->changedNs = nanoseconds(basic.ChangeTime);
    out->modifiedNs = nanoseconds(basic.LastWriteTime);
    out->accessedNs = nanoseconds(basic.LastAccessTime);
    return true;
}

bool asPreCopyLeftIt(HANDLE h, const PreCopy &pre)
{
    Identity now;
    return identityOf(h, &now) && now.volume == pre.device && now.id == pre.inode && now.size == pre.size
        && now.changedNs == pre.changedNs && now.modifiedNs == pre.modifiedNs;
}

// The write and access times a copy takes (0 leaves one as it is).
void setTimes(HANDLE h, qint64 accessedNs, qint64 modifiedNs)
{
    FILE_BASIC_INFO basic{};
    basic.LastAccessTime.QuadPart = accessedNs ? accessedNs / 100 + kTicksTo1970 : 0;
    basic.LastWriteTime.QuadPart = modifiedNs ? modifiedNs / 100 + kTicksTo1970 : 0;
    if (!::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic))
        fail(::GetLastError(), false);
}

// The modification time a pre-copy is left with (2000-01-01): any write
// after it sets the clock's time, which never is this.
constexpr qint64 kPreCopyMarkNs = 946684800LL * 1000000000;

// A new file beside `besideOf` under marker with all of a stopped source,
// hashed as it was read, with the source's times.
StagedCopy copyWhole(const SystemCalls &sys, const QString &from, const QString &besideOf, const char *marker,
                     const Progress &progress)
{
    const Handle src = openStoppedSource(from);
    const qint64 size = sizeOf(src.get());
    StagedCopy copy;
    Handle dst = makeTempFile(besideOf, marker, &copy.path);
    try {
        report(progress, 0, size);
        // Where the volume shares blocks, the copy is made of the source's own.
        if (size > 0 && sys.cloneFile && sys.cloneFile(src.get(), dst.get(), size))
            copy.shared = true;
        else
            copy.checksum = copyByReading(readerOf(src.get(), true), writerOf(dst.get()), size, progress);
        // Nobody could write meanwhile; a size that moved is a fault of the disk.
        if (sizeOf(src.get()) != size || sizeOf(dst.get()) != size)
            throw PlatformError(kErrDiskIo);
        Identity source;
        if (!identityOf(src.get(), &source))
            fail(::GetLastError(), true);
        setTimes(dst.get(), source.accessedNs, source.modifiedNs);
        return copy;
    } catch (...) {
        dst.reset();
        ::DeleteFileW(longPath(copy.path).c_str());
        throw;
    }
}

// The volume's block cloning (ReFS): the target takes the source's clusters
// without a byte copied. Ranges go by whole clusters, at most 4 GiB a call.
bool cloneBlocks(HANDLE from, HANDLE to, qint64 size)
{
    constexpr DWORD kSupportsBlockRefcounting = 0x08000000; // FILE_SUPPORTS_BLOCK_REFCOUNTING
    constexpr DWORD kDuplicateExtents = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_DATA);
    struct DuplicateExtents {
        HANDLE file;
        LARGE_INTEGER sourceOffset, targetOffset, byteCount;
    };
    DWORD flags = 0;
    if (!::GetVolumeInformationByHandleW(to, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)
        || !(flags & kSupportsBlockRefcounting))
        return false;
    std::wstring finalPath(32768, L'\0'), volume(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(to, finalPath.data(), DWORD(finalPath.size()), 0);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (n == 0 || n >= finalPath.size() || !::GetVolumePathNameW(finalPath.c_str(), volume.data(), DWORD(volume.size()))
        || !::GetDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return false;
    const qint64 cluster = qint64(sectorsPerCluster) * bytesPerSector;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD none = 0;
    if (cluster <= 0 || !::GetFileInformationByHandle(from, &info)
        || ((info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)
            && !::DeviceIoControl(to, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &none, nullptr)))
        return false;
    try {
        resize(to, size);
        const qint64 step = (qint64(1) << 30) / cluster * cluster;
        for (qint64 offset = 0; offset < size; offset += step) {
            const qint64 rest = (size - offset + cluster - 1) / cluster * cluster;
            DuplicateExtents range{from, {}, {}, {}};
            range.sourceOffset.QuadPart = range.targetOffset.QuadPart = offset;
            range.byteCount.QuadPart = std::min(step, rest);
            if (!::DeviceIoControl(to, kDuplicateExtents, &range, sizeof range, nullptr, 0, &none, nullptr)) {
                resize(to, 0);
                return false;
            }
        }
        return true;
    } catch (const PlatformError &) {
        return false;
    }
}

// The owner of a file or folder as a SID string, not followed through a link.
QString ownerSid(const QString &path)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring name = longPath(path);
    if (::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, &sd)
        != ERROR_SUCCESS)
        return {};
    QString text;
    LPWSTR sid = nullptr;
    if (owner && ::ConvertSidToStringSidW(owner, &sid)) {
        text = win::fromWide(sid);
        ::LocalFree(sid);
    }
    ::LocalFree(sd);
    return text;
}

// This user's SID string.
QString ownSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    const Handle held(token);
    alignas(TOKEN_USER) char buffer[256];
    DWORD got = 0;
    LPWSTR sid = nullptr;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got)
        || !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid))
        return {};
    const QString text = win::fromWide(sid);
    ::LocalFree(sid);
    return text;
}

} // namespace

namespace fileops {

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

} // namespace fileops

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

SystemCalls SystemCalls::host()
{
    SystemCalls calls;
    calls.cloneFile = [](void *from, void *to, std::int64_t size) { return cloneBlocks(from, to, size); };
    calls.ownerOf = ownerSid;
    return calls;
}

HostFileOps::HostFileOps(CopyMethod method, SystemCalls calls) : method_(method), sys_(std::move(calls)) {}

HostFileOps::Entry HostFileOps::entryAt(const QString &path, qint64 *size, bool *ours)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributes(path, &data)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Entry::Missing : Entry::Unknown;
    }
    if (size)
        *size = qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    // Who may change a file is its access list here; the folder's decides.
    if (ours)
        *ours = true;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Entry::Folder;
    return data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE) ? Entry::Other : Entry::File;
}

QString HostFileOps::makeMark(const QString &target, const char *marker)
{
    QString made;
    makeTempFile(target, marker, &made);
    return made;
}

// Written through: the rename is on the disk when the call returns.
int HostFileOps::tryRename(const QString &from, const QString &to)
{
    if (::MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), kMoveFlags))
        return 0;
    return win::errorNumberFor(::GetLastError(), false);
}

int HostFileOps::tryRemove(const QString &path)
{
    if (::DeleteFileW(longPath(path).c_str()))
        return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? -1 : win::errorNumberFor(error, false);
}

// Each create is flushed and each rename written through already.
void HostFileOps::syncFolder(const QString &) {}

bool HostFileOps::fileExists(const QString &path) { return isFileAt(path); }

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

namespace {

// What a symbolic link or junction at `path` holds ("" where it is neither),
// and whether that is relative to the link's folder.
QString linkDestination(const QString &path, bool *relative)
{
    const Handle h(::CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::vector<char> buffer(16 * 1024);
    DWORD got = 0;
    if (!h.valid()
        || !::DeviceIoControl(h.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(), DWORD(buffer.size()), &got,
                              nullptr)
        || got < 20)
        return {};
    DWORD tag = 0, flags = 0;
    WORD names[4] = {}; // substitute offset and length, print offset and length, in bytes
    std::memcpy(&tag, buffer.data(), sizeof tag);
    std::memcpy(names, buffer.data() + 8, sizeof names);
    std::memcpy(&flags, buffer.data() + 16, sizeof flags);
    const bool symlink = tag == IO_REPARSE_TAG_SYMLINK;
    if (!symlink && tag != IO_REPARSE_TAG_MOUNT_POINT)
        return {};
    const size_t at = symlink ? 20 : 16;
    const auto name = [&](WORD offset, WORD length) {
        if (at + offset + length > got)
            return QString();
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.data() + at + offset), length / 2);
    };
    QString dest = name(names[2], names[3]);
    if (dest.isEmpty()) {
        dest = name(names[0], names[1]);
        if (dest.startsWith(QLatin1String("\\??\\")))
            dest = dest.mid(4);
    }
    *relative = symlink && (flags & SYMLINK_FLAG_RELATIVE);
    return dest;
}

} // namespace

// A symbolic link at the target is followed to its end (a relative one from
// its folder), as a copy written over it would go through it.
QString HostFileOps::resolveTarget(const QString &target)
{
    if (trimSpaces(target).isEmpty())
        return target;
    checkName(target);
    QString path = target;
    for (int hops = 0;; ++hops) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!attributes(path, &data) || !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return path;
        bool relative = false;
        const QString dest = linkDestination(path, &relative);
        if (dest.isEmpty()) // a file the system keeps its own way, not a link
            return path;
        if (hops == 40)
            throw PlatformError(kErrPathFileAccess);
        path = relative ? folderOf(path) + u'\\' + dest : dest;
    }
}

// A folder or link on the way to the target that another user owns (not
// this one, the administrators, SYSTEM or the installer's service): that
// user may read the copy, or swap it after it was verified. Anybody may
// make a folder at the root of a drive.
QString HostFileOps::foreignFolder(const QString &targetPath)
{
    static const QStringList trusted{QStringLiteral("S-1-5-32-544"), QStringLiteral("S-1-5-18"),
                                     QStringLiteral("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")};
    if (!sys_.ownerOf || trimSpaces(targetPath).isEmpty())
        return {};
    // Shares and other machines' disks keep owners of their own.
    const QString path = QDir::toNativeSeparators(trimSpaces(targetPath));
    const std::wstring full = longPath(path);
    std::wstring root(full.size() + 1, L'\0');
    if (!::GetVolumePathNameW(full.c_str(), root.data(), DWORD(root.size())))
        return {};
    const UINT drive = ::GetDriveTypeW(root.c_str());
    if (drive != DRIVE_FIXED && drive != DRIVE_REMOVABLE)
        return {};
    const QString me = ownSid();
    QStringList folders;
    for (QString at = path;;) {
        const QString up = folderOf(at);
        if (up == at || up == QLatin1String("."))
            break;
        folders.prepend(at = up);
    }
    folders << path; // a link planted at the target itself
    for (const QString &folder : std::as_const(folders)) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!attributes(folder, &data))
            continue;
        const bool link = data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
        if (folder == folders.constLast() && !link)
            continue;
        const QString owner = sys_.ownerOf(folder);
        if (!owner.isEmpty() && owner != me && !trusted.contains(owner))
            return folder;
    }
    return {};
}

StagedCopy HostFileOps::stageCopy(const QString &from, const QString &target, const Progress &progress)
{
    return copyWhole(sys_, from, target, kTempMarker, progress);
}

QString HostFileOps::copyBeside(const QString &source, const Progress &progress)
{
    // A clone would share the blocks the database rewrites: a copy of its own.
    SystemCalls noClone = sys_;
    noClone.cloneFile = nullptr;
    return copyWhole(noClone, source, source, kSnapshotMarker, progress).path;
}

// Before the stop. A database server on Windows may hold its files with no
// sharing: such a file is copied whole in the downtime.
PreCopy HostFileOps::preCopy(const QString &from, const QString &target, const Progress &progress)
{
    Handle src;
    try {
        src = openSource(from, false);
    } catch (const SourceHeld &) {
        return {};
    }
    const qint64 size = sizeOf(src.get());
    PreCopy pre;
    Handle dst = makeTempFile(target, kTempMarker, &pre.path);
    try {
        // The file as far as it went when the pre-copy began: the database
        // may write on meanwhile, the pass after the stop catches up.
        pre.blockHashes = copyHashingBlocks(readerOf(src.get(), true), writerOf(dst.get()), size, progress);
        // On the disk before the stop, so that no flush of it competes with
        // the pass while the service is down.
        if (!::FlushFileBuffers(dst.get()))
            fail(::GetLastError(), false);
        setTimes(dst.get(), 0, kPreCopyMarkNs);
        // As the file stands once closed: a file system may stamp its times
        // when the last handle goes.
        dst.reset();
        const Handle closed(::CreateFileW(longPath(pre.path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        Identity staged;
        if (!closed.valid() || !identityOf(closed.get(), &staged))
            fail(::GetLastError(), false);
        pre.device = staged.volume;
        pre.inode = staged.id;
        pre.size = staged.size;
        pre.changedNs = staged.changedNs;
        pre.modifiedNs = staged.modifiedNs;
        return pre;
    } catch (...) {
        dst.reset();
        ::DeleteFileW(longPath(pre.path).c_str());
        throw;
    }
}

StagedCopy HostFileOps::finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                                   const Progress &progress)
{
    if (pre.path.isEmpty())
        return HostFileOps::stageCopy(from, target, progress);
    Handle dst(::CreateFileW(longPath(pre.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!dst.valid() || !asPreCopyLeftIt(dst.get(), pre)) {
        // Gone or touched since the pre-copy: none of its blocks can be trusted.
        if (dst.valid()) {
            dst.reset();
            ::DeleteFileW(longPath(pre.path).c_str());
        }
        return HostFileOps::stageCopy(from, target, progress);
    }
    const Handle src = openStoppedSource(from);
    const qint64 size = sizeOf(src.get());
    report(progress, 0, size);
    const QByteArray digests =
        deltaPass(readerOf(src.get(), true), writerOf(dst.get()), size, pre.blockHashes, progress);
    if (pre.size > size)
        resize(dst.get(), size);
    Identity source;
    if (sizeOf(src.get()) != size || sizeOf(dst.get()) != size || !identityOf(src.get(), &source))
        throw PlatformError(kErrDiskIo);
    setTimes(dst.get(), source.accessedNs, source.modifiedNs);
    report(progress, size, size);
    return blockwise(pre.path, BlockHashes::checksumOf(digests));
}

// Beside the source, so on its volume, and only where that shares blocks
// (ReFS): "" elsewhere, and the downtime's copies are made as they would be.
QString HostFileOps::snapshot(const QString &source)
{
    if (!sys_.cloneFile)
        return {};
    const Handle src = openStoppedSource(source);
    const qint64 size = sizeOf(src.get());
    QString clone;
    Handle dst = makeTempFile(source, kSnapshotMarker, &clone);
    Identity times;
    if (!sys_.cloneFile(src.get(), dst.get(), size) || !identityOf(src.get(), &times)) {
        dst.reset();
        ::DeleteFileW(longPath(clone).c_str());
        return {};
    }
    // The copy made of it later carries the source's times.
    try {
        setTimes(dst.get(), times.accessedNs, times.modifiedNs);
    } catch (...) {
        dst.reset();
        ::DeleteFileW(longPath(clone).c_str());
        throw;
    }
    return clone;
}

bool HostFileOps::stagesBesideSources() const { return true; }

ChangedBlocks HostFileOps::captureChanges(const QString &from, const PreCopy &pre, const Progress &progress)
{
    const Handle src = openStoppedSource(from);
    const qint64 size = sizeOf(src.get());
    ChangedBlocks changes;
    auto spill = std::make_shared<Handle>();
    try {
        const WriteAt keep = keepBlocks(changes, [&, spill] {
            *spill = makeTempFile(from, kSnapshotMarker, &changes.spill);
            return writerOf(spill->get());
        });
        report(progress, 0, size);
        changes.checksum =
            BlockHashes::checksumOf(deltaPass(readerOf(src.get(), true), keep, size, pre.blockHashes, progress));
        Identity source;
        if (sizeOf(src.get()) != size || !identityOf(src.get(), &source))
            throw PlatformError(kErrDiskIo);
        changes.size = size;
        changes.accessedNs = source.accessedNs;
        changes.modifiedNs = source.modifiedNs;
    } catch (...) {
        spill->reset();
        if (!changes.spill.isEmpty())
            ::DeleteFileW(longPath(changes.spill).c_str());
        throw;
    }
    report(progress, size, size);
    return changes;
}

StagedCopy HostFileOps::applyChanges(const PreCopy &pre, const ChangedBlocks &changes, const Progress &progress)
{
    Handle dst(::CreateFileW(longPath(pre.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!dst.valid())
        fail(::GetLastError(), false);
    // Its blocks are the base of the changes: touched since, it is no copy.
    if (!asPreCopyLeftIt(dst.get(), pre))
        throw PlatformError(kErrDiskIo, QStringLiteral("事前コピーのファイルが、途中で変更されました。"));
    Handle spill;
    if (!changes.spill.isEmpty()) {
        spill.reset(::CreateFileW(longPath(changes.spill).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!spill.valid())
            fail(::GetLastError(), true);
    }
    writeBlocks(changes, readerOf(spill.get(), true), writerOf(dst.get()), progress);
    if (pre.size > changes.size)
        resize(dst.get(), changes.size);
    if (sizeOf(dst.get()) != changes.size)
        throw PlatformError(kErrDiskIo);
    setTimes(dst.get(), changes.accessedNs, changes.modifiedNs);
    report(progress, changes.size, changes.size);
    return blockwise(pre.path, changes.checksum);
}

bool HostFileOps::verifyCopy(const StagedCopy &copy, const Progress &progress)
{
    {
        // Flushed now that the database runs again: the flush is no downtime.
        const Handle h(::CreateFileW(longPath(copy.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!h.valid() || !::FlushFileBuffers(h.get()))
            fail(::GetLastError(), false);
    }
    // Past the cache, so that the disk itself is read.
    const Handle h(::CreateFileW(longPath(copy.path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr));
    if (!h.valid())
        fail(::GetLastError(), false);
    const qint64 size = sizeOf(h.get());
    report(progress, 0, size);
    if (copy.shared) {
        report(progress, size, size);
        return true;
    }
    // Whole sectors into a buffer that starts on one, then handed on.
    AlignedBuffer aligned;
    const HANDLE in = h.get();
    return hashesAs(
        copy,
        [&aligned, in](char *buffer, size_t n, qint64 offset) {
            const size_t got = readAt(in, aligned.data, std::min<size_t>(n, kChunk), offset, false);
            std::memcpy(buffer, aligned.data, got);
            return got;
        },
        size, progress);
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
    removeFlushed(makeMark(path, kTempMarker));
}

} // namespace zdb
