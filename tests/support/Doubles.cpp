#include "Doubles.h"

#include "PlatformError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>

namespace zdb::test {

int ScriptedMessageBoxes::show(const QString &prompt, int code, const std::optional<QString> &title)
{
    shown.append({prompt, code, title});
    if (!answers.isEmpty())
        return answers.takeFirst();
    return (code & 0x0F) == kMsgYesNo ? kAnswerYes : kAnswerOk;
}

QStringList ScriptedMessageBoxes::prompts() const
{
    QStringList out;
    for (const auto &s : shown)
        out << s.prompt;
    return out;
}

void CountingEventPump::doEvents()
{
    ++doEventsCalls;
    if (onDoEvents)
        onDoEvents();
    QCoreApplication::processEvents();
}

void CountingEventPump::waitEvents(int maxMs)
{
    ++waitCalls;
    if (onWait)
        onWait(maxMs);
    QCoreApplication::processEvents();
}

void CountingEventPump::paintEvents()
{
    ++paintCalls;
    if (onPaint)
        onPaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

PdfTestPrinter::PdfTestPrinter() : pdf_(dir_.filePath(QStringLiteral("page.pdf"))) {}

void PdfTestPrinter::setOrientation(int value)
{
    if (noPrinter)
        throw PlatformError(kErrPrinter);
    pdf_.setOrientation(value);
}

void PdfTestPrinter::printPicture(const QImage &picture)
{
    if (noPrinter || refuseJob)
        throw PlatformError(kErrPrinter);
    pdf_.printPicture(picture);
    lastPicture = picture;
    ++jobs;
}

} // namespace zdb::test
