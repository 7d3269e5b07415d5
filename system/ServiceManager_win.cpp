#include "ServiceManager.h"

#include "Win32_win.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QThread>

#include <tlhelp32.h>

#include <algorithm>

namespace zdb {

using win::Handle;
using win::wide;

namespace {

// NET STOP / NET START's exit status for a service they could not change.
constexpr int kRefused = 2;

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
    ~ServiceHandle()
    {
        if (h_)
            ::CloseServiceHandle(h_);
    }
    ServiceHandle(const ServiceHandle &) = delete;
    ServiceHandle &operator=(const ServiceHandle &) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

// Keeps the window painted while a stop or start is waited for.
void pause(int ms)
{
    QElapsedTimer t;
    t.start();
    const bool mainThread =
        QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
    while (!t.hasExpired(ms)) {
        if (mainThread)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        ::Sleep(DWORD(std::clamp<qint64>(ms - t.elapsed(), 1, 20)));
    }
}

// The service's key name for a key name or a display name, as NET STOP takes
// either (the manager compares both without regard to case); "" where the
// manager knows neither.
QString keyNameOf(SC_HANDLE manager, const QString &name)
{
    const std::wstring given = wide(name);
    wchar_t display[512], key[512];
    DWORD size = DWORD(std::size(display));
    // A key name: the manager's own spelling of it, through its display name.
    if (::GetServiceDisplayNameW(manager, given.c_str(), display, &size)) {
        size = DWORD(std::size(key));
        return ::GetServiceKeyNameW(manager, display, key, &size) ? win::fromWide(key) : name;
    }
    if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST && ::GetLastError() != ERROR_INVALID_NAME)
        return name;
    size = DWORD(std::size(key));
    if (::GetServiceKeyNameW(manager, given.c_str(), key, &size))
        return win::fromWide(key);
    return {};
}

// The manager and the service, by key name or display name.
struct Opened {
    Opened(const QString &name, DWORD access) : manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT))
    {
        if (!manager) {
            error = ::GetLastError();
            return;
        }
        const QString key = keyNameOf(manager.get(), name);
        service = key.isEmpty() ? nullptr : ::OpenServiceW(manager.get(), wide(key).c_str(), access);
        error = key.isEmpty() ? ERROR_SERVICE_DOES_NOT_EXIST : service ? 0 : ::GetLastError();
    }
    ~Opened()
    {
        if (service)
            ::CloseServiceHandle(service);
    }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;

    ServiceHandle manager;
    SC_HANDLE service = nullptr;
    DWORD error = 0;
};

bool query(SC_HANDLE service, SERVICE_STATUS_PROCESS *status)
{
    DWORD need = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(status), sizeof *status,
                                  &need);
}

// Waits until the service leaves `pending` for `wanted`, as the manager's
// own tools do: a poll of a tenth of the wait hint (1 s at most), and a
// service whose checkpoint stands still past its wait hint is stuck.
ServiceResult waitFor(SC_HANDLE service, DWORD pending, DWORD wanted, int timeLimitMs)
{
    QElapsedTimer running, sinceProgress;
    running.start();
    sinceProgress.start();
    SERVICE_STATUS_PROCESS status{};
    if (!query(service, &status))
        return {ServiceResult::Failed, int(::GetLastError())};
    DWORD checkpoint = status.dwCheckPoint;
    while (status.dwCurrentState == pending) {
        if (timeLimitMs > 0 && running.hasExpired(timeLimitMs))
            return {ServiceResult::TimedOut, -1};
        pause(int(std::clamp<DWORD>(status.dwWaitHint / 10, 100, 1000)));
        if (!query(service, &status))
            return {ServiceResult::Failed, int(::GetLastError())};
        if (status.dwCheckPoint != checkpoint) {
            checkpoint = status.dwCheckPoint;
            sinceProgress.restart();
        } else if (status.dwCurrentState == pending && sinceProgress.hasExpired(qint64(status.dwWaitHint) + 2000)) {
            return {ServiceResult::Failed, kRefused};
        }
    }
    if (status.dwCurrentState == wanted)
        return {};
    const DWORD exit = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                              : status.dwWin32ExitCode;
    return {ServiceResult::Failed, exit != 0 ? int(exit) : kRefused};
}

} // namespace

HostServiceManager::HostServiceManager(QString) : systemd_(false) {}

ServiceResult HostServiceManager::stop(const QString &unit)
{
    const Opened o(unit, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!o.manager)
        return {ServiceResult::NotLaunched, -1};
    if (!o.service)
        return {ServiceResult::Failed, kRefused};
    SERVICE_STATUS status{};
    if (!::ControlService(o.service, SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = ::GetLastError();
        // Already down is what the stop is for.
        if (error == ERROR_SERVICE_NOT_ACTIVE)
            return {};
        // Already going down: waited for as if asked now.
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || status.dwCurrentState != SERVICE_STOP_PENDING)
            return {ServiceResult::Failed, kRefused};
    }
    return waitFor(o.service, SERVICE_STOP_PENDING, SERVICE_STOPPED, timeLimitMs_);
}

ServiceResult HostServiceManager::start(const QString &unit)
{
    const Opened o(unit, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!o.manager)
        return {ServiceResult::NotLaunched, -1};
    if (!o.service)
        return {ServiceResult::Failed, kRefused};
    if (!::StartServiceW(o.service, 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return {ServiceResult::Failed, kRefused};
    return waitFor(o.service, SERVICE_START_PENDING, SERVICE_RUNNING, timeLimitMs_);
}

ServiceState HostServiceManager::state(const QString &unit)
{
    const Opened o(unit, SERVICE_QUERY_STATUS);
    if (o.error == ERROR_SERVICE_DOES_NOT_EXIST)
        return ServiceState::Missing;
    SERVICE_STATUS_PROCESS status{};
    if (!o.service || !query(o.service, &status))
        return ServiceState::Unknown;
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
    case SERVICE_STOP_PENDING: return ServiceState::Stopped;
    default: return ServiceState::Running;
    }
}

bool serviceNamesHoldBlanks() { return true; }

QString canonicalUnitName(const QString &name)
{
    // One name for the lock and the mark however the operator typed it: the
    // key name as the manager spells it.
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const QString key = manager ? keyNameOf(manager.get(), name) : QString();
    return key.isEmpty() ? name : key;
}

// A job object ends a command and all it started at once.
void adoptOrphanedDescendants() {}

ServiceResult runCommand(const QString &program, const QStringList &arguments, int timeLimitMs, QByteArray *output)
{
    Handle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job.valid()
        || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return {ServiceResult::NotLaunched, -1};
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(output ? QProcess::ForwardedErrorChannel : QProcess::ForwardedChannels);
    // Suspended until it is in the job: nothing it starts escapes the limit.
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= CREATE_SUSPENDED | CREATE_NO_WINDOW; });
    process.start();
    if (!process.waitForStarted(30000))
        return {ServiceResult::NotLaunched, -1};
    const DWORD pid = DWORD(process.processId());
    const Handle child(::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, pid));
    const bool inJob = child.valid() && ::AssignProcessToJobObject(job.get(), child.get());
    const Handle threads(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = threads.valid() && ::Thread32First(threads.get(), &entry); more;
         more = ::Thread32Next(threads.get(), &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        if (const Handle t(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)); t.valid())
            ::ResumeThread(t.get());
    }
    return awaitCommand(process, timeLimitMs, output, [&] {
        if (inJob)
            ::TerminateJobObject(job.get(), 1);
        process.kill();
        process.waitForFinished(5000);
    });
}

} // namespace zdb
