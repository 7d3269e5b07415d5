// A database service as Windows runs one, for the tests under Wine: it opens
// its data and log files with no sharing and appends to both while it runs.
//
//   zdbtestservice install NAME MODE DATA LOG   creates the service and starts it
//   zdbtestservice state NAME                   prints running, stopped, pending or missing
//   zdbtestservice killrun NAME                 once NAME has stopped: taskkill /F the backup run
//   zdbtestservice service NAME MODE DATA LOG   what the service manager runs
//
// MODE: normal; slowstop (several seconds of STOP_PENDING); refusestop (takes
// no stop); failstart (fails to start while DATA.nostart exists). Each stop
// appends "stopped N" to both files once they are final.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring mode, dataPath, logPath, serviceName;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
HANDLE stopEvent = nullptr;

void report(DWORD state, DWORD waitHint = 0, DWORD exitCode = NO_ERROR)
{
    static DWORD checkpoint = 1;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWaitHint = waitHint;
    status.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwControlsAccepted = state == SERVICE_RUNNING && mode != L"refusestop" ? SERVICE_ACCEPT_STOP : 0;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkpoint++;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void *, void *)
{
    if (code == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING, 2000);
        ::SetEvent(stopEvent);
    }
    return NO_ERROR;
}

HANDLE openHeld(const std::wstring &path)
{
    return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

void append(HANDLE file, const std::string &line)
{
    ::SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD n = 0;
    ::WriteFile(file, line.data(), DWORD(line.size()), &n, nullptr);
}

void WINAPI serviceMain(DWORD, wchar_t **)
{
    statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), control, nullptr);
    report(SERVICE_START_PENDING, 3000);
    if (mode == L"failstart" && ::GetFileAttributesW((dataPath + L".nostart").c_str()) != INVALID_FILE_ATTRIBUTES) {
        report(SERVICE_STOPPED, 0, 1);
        return;
    }
    HANDLE data = openHeld(dataPath), log = openHeld(logPath);
    if (data == INVALID_HANDLE_VALUE || log == INVALID_HANDLE_VALUE) {
        report(SERVICE_STOPPED, 0, 2);
        return;
    }
    stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING);
    for (unsigned n = 0; ::WaitForSingleObject(stopEvent, 20) == WAIT_TIMEOUT; ++n) {
        append(data, "page " + std::to_string(n) + std::string(4000, 'd') + "\n");
        append(log, "record " + std::to_string(n) + std::string(200, 'l') + "\n");
    }
    if (mode == L"slowstop")
        for (int i = 0; i < 8; ++i) {
            report(SERVICE_STOP_PENDING, 2000);
            ::Sleep(500);
        }
    const std::string last = "stopped " + std::to_string(::GetTickCount64()) + "\n";
    append(data, last);
    append(log, last);
    ::FlushFileBuffers(data);
    ::FlushFileBuffers(log);
    ::CloseHandle(data);
    ::CloseHandle(log);
    report(SERVICE_STOPPED);
}

SC_HANDLE manager() { return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

DWORD stateOf(const wchar_t *name)
{
    SC_HANDLE scm = manager();
    SC_HANDLE s = ::OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS st{};
    const DWORD state = s && ::QueryServiceStatus(s, &st) ? st.dwCurrentState : 0;
    if (s)
        ::CloseServiceHandle(s);
    ::CloseServiceHandle(scm);
    return state;
}

int install(const wchar_t *name, const wchar_t *m, const wchar_t *data, const wchar_t *log)
{
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring command =
        L"\"" + std::wstring(self) + L"\" service " + name + L" " + m + L" \"" + data + L"\" \"" + log + L"\"";
    SC_HANDLE scm = manager();
    SC_HANDLE s = ::CreateServiceW(scm, name, (std::wstring(name) + L" Display").c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!s) {
        std::fprintf(stderr, "CreateServiceW: %lu\n", ::GetLastError());
        return 1;
    }
    const bool started = ::StartServiceW(s, 0, nullptr);
    ::CloseServiceHandle(s);
    ::CloseServiceHandle(scm);
    for (int i = 0; started && i < 200 && stateOf(name) != SERVICE_RUNNING; ++i)
        ::Sleep(50);
    return stateOf(name) == SERVICE_RUNNING ? 0 : 1;
}

// As soon as the service has stopped, the backup run is ended as taskkill /F
// ends it (1 when the service does not stop within 30 s).
int killRun(const wchar_t *name)
{
    for (int i = 0; i < 6000 && stateOf(name) != SERVICE_STOPPED; ++i)
        ::Sleep(5);
    wchar_t command[] = L"taskkill.exe /F /IM zorvatdbbackup.exe";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (stateOf(name) != SERVICE_STOPPED
        || !::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    ::WaitForSingleObject(pi.hProcess, 30000);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"service" && argc == 6) {
        serviceName = argv[2];
        mode = argv[3];
        dataPath = argv[4];
        logPath = argv[5];
        SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), serviceMain}, {nullptr, nullptr}};
        return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    if (verb == L"install" && argc == 6)
        return install(argv[2], argv[3], argv[4], argv[5]);
    if (verb == L"killrun" && argc == 3)
        return killRun(argv[2]);
    if (verb == L"state" && argc == 3) {
        const DWORD state = stateOf(argv[2]);
        std::puts(state == 0                     ? "missing"
                      : state == SERVICE_RUNNING ? "running"
                      : state == SERVICE_STOPPED ? "stopped"
                                                 : "pending");
        return 0;
    }
    std::fputs("usage: zdbtestservice install|state|killrun|service ...\n", stderr);
    return 2;
}
