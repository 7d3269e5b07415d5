#include "Win32_win.h"

#include "PlatformError.h"

#include <QDir>

#include <cerrno>

namespace zdb::win {

int errnoFor(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE: return ENOTDIR;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
    }
}

int errorNumberFor(DWORD error, bool sourceSide)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return sourceSide ? kErrFileNotFound : kErrPathNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE: return kErrPathNotFound;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return kErrDiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return kErrPermissionDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
    case ERROR_FILENAME_EXCED_RANGE: return kErrPathFileAccess;
    default: return kErrDiskIo;
    }
}

std::wstring longPath(const QString &path)
{
    QString p = QDir::toNativeSeparators(path);
    if (p.startsWith(QLatin1String("\\\\?\\")) || p.startsWith(QLatin1String("\\\\.\\")))
        return wide(p);
    // Made absolute by Windows itself: a relative path or "C:x" reads as the
    // process's current folders do.
    const std::wstring given = wide(p);
    const DWORD need = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (need == 0)
        return given;
    std::wstring full(need, L'\0');
    const DWORD got = ::GetFullPathNameW(given.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need)
        return given;
    full.resize(got);
    if (full.size() < MAX_PATH - 12)
        return full;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace zdb::win
