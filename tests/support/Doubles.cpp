#include "Doubles.h"

#include "PlatformError.h"

#include <QCoreApplication>

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

QString MemorySettings::keyOf(const QString &app, const QString &section, const QString &key)
{
    return app + u'|' + section + u'|' + key;
}

QString MemorySettings::read(const QString &app, const QString &section, const QString &key, const QString &def)
{
    ++reads;
    return values.value(keyOf(app, section, key), def);
}

void MemorySettings::write(const QString &app, const QString &section, const QString &key, const QString &value)
{
    ++writes;
    values.insert(keyOf(app, section, key), value);
}

void CountingEventPump::doEvents()
{
    ++doEventsCalls;
    QCoreApplication::processEvents();
}

void CountingEventPump::waitEvents(int)
{
    ++waitCalls;
    QCoreApplication::processEvents();
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
