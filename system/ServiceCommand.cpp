// A service command waited for the same way on every system.
#include "ServiceManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QThread>

namespace zdb {

ServiceResult awaitCommand(QProcess &process, int timeLimitMs, QByteArray *output, const std::function<void()> &endAll)
{
    QElapsedTimer running;
    running.start();
    // Short slices keep a window painted; its input waits until the command
    // has ended, so nothing else happens in between.
    while (!process.waitForFinished(20)) {
        if (process.state() == QProcess::NotRunning)
            break;
        if (timeLimitMs > 0 && running.hasExpired(timeLimitMs)) {
            endAll();
            return {ServiceResult::TimedOut, -1};
        }
        if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit)
        return {ServiceResult::Failed, -1};
    if (process.exitCode() != 0)
        return {ServiceResult::Failed, process.exitCode()};
    return {};
}

} // namespace zdb
