#include "RunLock.h"

#include "PlatformError.h"
#include "Win32_win.h"

#include <QCryptographicHash>

#include <aclapi.h>
#include <sddl.h>

namespace zdb {

namespace {

// Administrators and the system alone may open it: no other user can take a
// run's lock, hold it against the runs, or plant one in its place.
constexpr wchar_t kMachineAcl[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The lock's name: a digest of the unit's, one object per unit whatever the
// case it is written in, as the service manager reads names.
QString objectName(const QString &prefix, const QString &unit)
{
    return prefix + QStringLiteral("zorvatdbbackup-run-")
        + QString::fromLatin1(QCryptographicHash::hash(unit.toLower().toUtf8(), QCryptographicHash::Sha256).toHex());
}

// Whether an object that was already there is the machine's: owned by the
// administrators or the system, as the lock's own creator makes it.
bool ownedByMachine(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd)
        != ERROR_SUCCESS)
        return false;
    const bool ok =
        owner && (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid));
    ::LocalFree(sd);
    return ok;
}

} // namespace

// The machine's locks are named objects in the global namespace; a user
// who may not make those (not elevated) locks in the session's own, and
// cannot stop a service there anyway.
QString HostRunLock::machineFolder() { return QStringLiteral("Global\\"); }

HostRunLock::HostRunLock() : folder_(machineFolder()), besideRoot_(true) {}

HostRunLock::HostRunLock(const QString &folder) : folder_(folder) {}

HostRunLock::~HostRunLock() { release(); }

bool HostRunLock::tryAcquire(const QString &serviceName)
{
    if (fd_ >= 0 && held_ == serviceName)
        return true;
    release();
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMachineAcl, SDDL_REVISION_1, &sd, nullptr))
        throw PlatformError(kErrInternal);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    QString name = objectName(folder_, serviceName);
    HANDLE mutex = ::CreateMutexW(&sa, FALSE, win::wide(name).c_str());
    DWORD error = ::GetLastError();
    if (!mutex && error == ERROR_ACCESS_DENIED && besideRoot_ && folder_ == machineFolder()) {
        name = objectName(QStringLiteral("Local\\"), serviceName);
        mutex = ::CreateMutexW(&sa, FALSE, win::wide(name).c_str());
        error = ::GetLastError();
    }
    ::LocalFree(sd);
    if (!mutex)
        throw PlatformError(error == ERROR_ACCESS_DENIED ? kErrPermissionDenied : kErrPathFileAccess);
    win::Handle held(mutex);
    // A name someone else made first is not a lock of ours to trust.
    if (error == ERROR_ALREADY_EXISTS && !ownedByMachine(mutex))
        throw PlatformError(kErrPermissionDenied);
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    // Abandoned: its holder ended without releasing it, as a killed run does.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return false;
    handle_ = held.release();
    fd_ = 1;
    held_ = serviceName;
    return true;
}

void HostRunLock::release()
{
    if (fd_ < 0)
        return;
    ::ReleaseMutex(handle_);
    ::CloseHandle(handle_);
    handle_ = nullptr;
    fd_ = -1;
    held_.clear();
}

} // namespace zdb
