#include "RunRecords.h"

#include "Win32_win.h"

#include <QDir>

#include <cerrno>

namespace zdb {

namespace {

// A task that runs as the system has no profile of a user's own.
bool runsAsSystem()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const win::Handle held(token);
    BYTE buffer[256];
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)
        && ::IsWellKnownSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, WinLocalSystemSid);
}

} // namespace

QString RunRecords::defaultFolder()
{
    const QString base = qEnvironmentVariable(runsAsSystem() ? "ProgramData" : "LOCALAPPDATA");
    return QDir::fromNativeSeparators(base.isEmpty() ? QDir::homePath() : base) + QStringLiteral("/zorvatdbbackup");
}

bool writeFileDurably(const QString &folder, const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(folder)) {
        errno = EACCES;
        return false;
    }
    const std::wstring temp = win::longPath(path + QStringLiteral(".new"));
    bool ok = false;
    {
        const win::Handle file(
            ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ok = file.valid() && ::WriteFile(file.get(), bytes.constData(), DWORD(bytes.size()), &written, nullptr)
            && written == DWORD(bytes.size()) && ::FlushFileBuffers(file.get());
    }
    ok = ok
        && ::MoveFileExW(temp.c_str(), win::longPath(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        errno = win::errnoFor(::GetLastError());
        ::DeleteFileW(temp.c_str());
    }
    return ok;
}

// No folder flush here: the removal is as durable as the volume's journal makes it.
void removeFileDurably(const QString &, const QString &path) noexcept { ::DeleteFileW(win::longPath(path).c_str()); }

} // namespace zdb
