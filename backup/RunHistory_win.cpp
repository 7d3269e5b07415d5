#include "RunHistory.h"

#include "Win32_win.h"

#include <QCoreApplication>
#include <QDir>

#include <cerrno>

namespace zdb {

namespace {

QString imageOf(HANDLE process)
{
    wchar_t name[32768];
    DWORD size = DWORD(std::size(name));
    return ::QueryFullProcessImageNameW(process, 0, name, &size) ? win::fromWide(name) : QString();
}

// When the process was made, in the system's file time; 0 when unknown.
qint64 createdAt(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return qint64(quint64(created.dwHighDateTime) << 32 | created.dwLowDateTime);
}

QString systemText(DWORD error) { return qt_error_string(int(error)); }

QString notRegularText() { return QStringLiteral("通常のファイルではありません。(not a regular file)"); }

// An ordinary file on a disk: no link, folder, pipe or device.
bool regular(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return ::GetFileType(file) == FILE_TYPE_DISK
        && ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)
        && !(tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

} // namespace

bool runStillGoing(const HistoryRecord &record)
{
    if (!record.open || record.pid <= 0)
        return false;
    const win::Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(record.pid)));
    if (!process.valid())
        return false; // gone, or not ours to look at: never "still going"
    if (::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)
        return false;
    // A number the system has since given to another process is not the run.
    if (record.pidStart != 0)
        return record.pidStart == createdAt(process.get());
    const QString image = imageOf(process.get());
    return !image.isEmpty() && image.compare(imageOf(::GetCurrentProcess()), Qt::CaseInsensitive) == 0;
}

void nameThisRun(HistoryRecord *record)
{
    record->pid = qint64(::GetCurrentProcessId());
    record->pidStart = createdAt(::GetCurrentProcess()); // unique across boots too
}

bool readRegularFile(const QString &path, QByteArray *bytes, QString *fault)
{
    // A link or a pipe put there is neither followed nor waited on.
    const win::Handle file(::CreateFileW(win::longPath(path).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            return true;
        *fault = path + QStringLiteral(": ") + systemText(err);
        return false;
    }
    if (!regular(file.get())) {
        *fault = path + QStringLiteral(": ") + notRegularText();
        return false;
    }
    for (char buffer[65536];;) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
            *fault = path + QStringLiteral(": ") + systemText(::GetLastError());
            return false;
        }
        if (n == 0)
            return true;
        bytes->append(buffer, qsizetype(n));
    }
}

bool replaceRegularFile(const QString &path, const QByteArray &bytes, int, QString *error)
{
    const std::wstring name = win::longPath(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
        *error = notRegularText();
        return false;
    }
    const std::wstring temp = win::longPath(path + QStringLiteral(".%1.new").arg(::GetCurrentProcessId()));
    bool ok = false;
    {
        const win::Handle file(
            ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ok = file.valid() && ::WriteFile(file.get(), bytes.constData(), DWORD(bytes.size()), &written, nullptr)
            && written == DWORD(bytes.size()) && ::FlushFileBuffers(file.get());
    }
    ok = ok && ::MoveFileExW(temp.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        const DWORD err = ::GetLastError();
        ::DeleteFileW(temp.c_str());
        *error = systemText(err);
        errno = win::errnoFor(err);
    }
    return ok;
}

bool RunHistory::appendLine(QByteArray line, QString *fault) const
{
    const auto failed = [&](const QString &name, DWORD err) {
        if (fault)
            *fault = name + QStringLiteral(": ") + systemText(err);
        return false;
    };
    if (!QDir().mkpath(folder_))
        return failed(folder_, ERROR_PATH_NOT_FOUND);
    // Runs of different services may end at once: one writer at a time, so
    // that the turn to the older file loses nothing.
    const QString lockName = folder_ + QStringLiteral("/history.jsonl.lock");
    const win::Handle lock(::CreateFileW(win::longPath(lockName).c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED whole{};
    if (!lock.valid() || !::LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole))
        return failed(lockName, ::GetLastError());
    struct Unlock {
        HANDLE lock;
        OVERLAPPED *whole;
        ~Unlock() { ::UnlockFileEx(lock, 0, 1, 0, whole); }
    } unlock{lock.get(), &whole};
    const std::wstring name = win::longPath(path());
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)
        && (qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow) >= kBoundBytes
        && !::MoveFileExW(name.c_str(), win::longPath(path() + QStringLiteral(".1")).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return failed(path() + QStringLiteral(".1"), ::GetLastError());
    const win::Handle file(::CreateFileW(name.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
        return failed(path(), ::GetLastError());
    if (!regular(file.get())) {
        if (fault)
            *fault = path() + QStringLiteral(": ") + notRegularText();
        return false;
    }
    // A line torn by a crash ends without a newline; start ours on a fresh one.
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
        char last = '\n';
        DWORD n = 0;
        OVERLAPPED at{};
        at.Offset = DWORD(size.QuadPart - 1);
        at.OffsetHigh = DWORD((size.QuadPart - 1) >> 32);
        if (!::ReadFile(file.get(), &last, 1, &n, &at) || n != 1 || last != '\n')
            line.prepend('\n');
    }
    DWORD written = 0;
    if (!::WriteFile(file.get(), line.constData(), DWORD(line.size()), &written, nullptr)
        || written != DWORD(line.size()) || !::FlushFileBuffers(file.get()))
        return failed(path(), ::GetLastError());
    return true;
}

} // namespace zdb
