#include "RunHistory.h"

#include "Win32_win.h"

#include <QCoreApplication>
#include <QDir>

namespace zdb {

namespace {

QString imageOf(HANDLE process)
{
    wchar_t name[32768];
    DWORD size = DWORD(std::size(name));
    return ::QueryFullProcessImageNameW(process, 0, name, &size) ? win::fromWide(name) : QString();
}

} // namespace

bool runStillGoing(const HistoryRecord &record)
{
    if (!record.open || record.pid <= 0)
        return false;
    const win::Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(record.pid)));
    if (!process.valid())
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    if (::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)
        return false;
    // A number the system has since given to another program is not the run.
    const QString image = imageOf(process.get());
    return image.isEmpty() || image.compare(imageOf(::GetCurrentProcess()), Qt::CaseInsensitive) == 0;
}

bool RunHistory::append(const HistoryRecord &record) const
{
    if (!QDir().mkpath(folder_))
        return false;
    // Runs of different services may end at once: one writer at a time, so
    // that the turn to the older file loses nothing.
    const win::Handle lock(::CreateFileW(win::longPath(path() + QStringLiteral(".lock")).c_str(),
                                         GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED whole{};
    if (!lock.valid() || !::LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole))
        return false;
    const std::wstring name = win::longPath(path());
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)
        && (qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow) >= kBoundBytes
        && !::MoveFileExW(name.c_str(), win::longPath(path() + QStringLiteral(".1")).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    const win::Handle file(::CreateFileW(name.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    // A line torn by a crash ends without a newline; start ours on a fresh one.
    QByteArray line = record.toLine();
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
    const bool ok = ::WriteFile(file.get(), line.constData(), DWORD(line.size()), &written, nullptr)
        && written == DWORD(line.size()) && ::FlushFileBuffers(file.get());
    ::UnlockFileEx(lock.get(), 0, 1, 0, &whole);
    return ok;
}

} // namespace zdb
