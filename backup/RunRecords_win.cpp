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

// No folder flush here: the removal is as durable as the volume's journal makes it.
void removeFileDurably(const QString &, const QString &path) noexcept { ::DeleteFileW(win::longPath(path).c_str()); }

} // namespace zdb
