#include "HostBackups.h"

#include "PlatformError.h"
#include "Win32_win.h"

#include <QDir>

#include <pthread.h>
#include <thread>
#include <vector>

namespace zdb {

using win::Handle;

namespace {

// Reads the engine's events from the pipe on a thread of its own (a pipe has
// no notifier on Windows) and hands each line to the window's thread.
class EngineChannel : public RunChannel {
public:
    explicit EngineChannel(Handle pipe) : pipe_(std::move(pipe))
    {
        reader_ = std::thread([this] { readAll(); });
    }
    ~EngineChannel() override
    {
        // Closing our end only tells the engine nobody listens; it goes on.
        ::CancelSynchronousIo(::pthread_gethandle(reader_.native_handle()));
        reader_.join();
    }

private:
    void readAll()
    {
        QByteArray pending;
        char buffer[16384];
        DWORD n = 0;
        while (::ReadFile(pipe_.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
            pending.append(buffer, n);
            for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
                const QByteArray line = pending.left(nl);
                pending.remove(0, nl + 1);
                if (const auto event = decodeEvent(line))
                    QMetaObject::invokeMethod(
                        this, [this, e = *event] { push(e); }, Qt::QueuedConnection);
            }
        }
        // The engine has ended, or is gone.
        QMetaObject::invokeMethod(
            this, [this] { end(); }, Qt::QueuedConnection);
    }

    Handle pipe_;
    std::thread reader_;
};

} // namespace

std::unique_ptr<RunChannel> startEngineProcess(const QString &program, const BackupRequest &request)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0))
        throw PlatformError(win::errorNumberFor(::GetLastError(), false));
    Handle childIn(inRead), ourIn(inWrite);
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0))
        throw PlatformError(win::errorNumberFor(::GetLastError(), false));
    Handle ourOut(outRead), childOut(outWrite);
    // Only the child's ends are inherited, and nothing else of ours.
    ::SetHandleInformation(ourIn.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(ourOut.get(), HANDLE_FLAG_INHERIT, 0);
    HANDLE inherited[] = {childIn.get(), childOut.get()};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)
        || !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                        nullptr, nullptr))
        throw PlatformError(kErrInternal);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = childIn.get();
    startup.StartupInfo.hStdOutput = childOut.get();
    startup.StartupInfo.hStdError = childOut.get();
    startup.lpAttributeList = attributes;
    std::wstring command = L"\"" + win::wide(QDir::toNativeSeparators(program)) + L"\" --engine";
    PROCESS_INFORMATION process{};
    // A process group and console of its own, out of any job of the window's:
    // neither a closed console nor the window's end reaches it.
    const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW
        | CREATE_BREAKAWAY_FROM_JOB | CREATE_UNICODE_ENVIRONMENT;
    BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                    &startup.StartupInfo, &process);
    // A job that allows no breakaway keeps it: started inside it then.
    if (!started && ::GetLastError() == ERROR_ACCESS_DENIED)
        started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags & ~CREATE_BREAKAWAY_FROM_JOB,
                                   nullptr, nullptr, &startup.StartupInfo, &process);
    const DWORD error = ::GetLastError();
    ::DeleteProcThreadAttributeList(attributes);
    if (!started)
        throw PlatformError(win::errorNumberFor(error, false));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    childIn.reset();
    childOut.reset();
    // The request is small enough for the pipe; the engine reads it whole.
    const QByteArray line = encodeRequest(request);
    DWORD written = 0;
    ::WriteFile(ourIn.get(), line.constData(), DWORD(line.size()), &written, nullptr);
    ourIn.reset();
    // A request the engine cannot read ends its run before it touches anything.
    return std::make_unique<EngineChannel>(std::move(ourOut));
}

} // namespace zdb
