#include "EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace zdb {

void QtEventPump::doEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtEventPump::paintEvents() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

void QtEventPump::waitEvents(int maxMs)
{
    // A local loop ended by a timer sleeps instead of spinning a core.
    QEventLoop loop;
    QTimer::singleShot(maxMs, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace zdb
