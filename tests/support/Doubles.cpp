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

namespace {

class RecordingShell : public CommandShell {
public:
    explicit RecordingShell(RecordingShellFactory &owner) : owner_(owner) { ++owner_.alive; }
    ~RecordingShell() override { --owner_.alive; }
    int run(const QString &commandLine, int windowStyle, bool wait) override
    {
        owner_.runs.append({commandLine, windowStyle, wait});
        if (owner_.failToStart.contains(commandLine))
            throw PlatformError(kErrFileNotFound);
        if (owner_.whileRunning)
            owner_.whileRunning(commandLine);
        return owner_.exitCodes.isEmpty() ? 0 : owner_.exitCodes.takeFirst();
    }

private:
    RecordingShellFactory &owner_;
};

} // namespace

std::unique_ptr<CommandShell> RecordingShellFactory::create()
{
    if (failCreate)
        throw PlatformError(kErrCannotCreateObject);
    ++created;
    return std::make_unique<RecordingShell>(*this);
}

QStringList RecordingShellFactory::commandLines() const
{
    QStringList out;
    for (const auto &r : runs)
        out << r.commandLine;
    return out;
}

void FaultyFileOps::enter(const QString &operation, const QString &path)
{
    calls << operation + u' ' + path;
    for (const auto &f : faults)
        if (f.operation == operation && path.endsWith(f.pathSuffix))
            throw PlatformError(f.number);
}

void FaultyFileOps::removeFile(const QString &path)
{
    enter(QStringLiteral("remove"), path);
    HostFileOps::removeFile(path);
}

void FaultyFileOps::copyFile(const QString &from, const QString &to)
{
    enter(QStringLiteral("copy"), to);
    HostFileOps::copyFile(from, to);
}

bool FaultyFileOps::fileExists(const QString &path)
{
    enter(QStringLiteral("exists"), path);
    return HostFileOps::fileExists(path);
}

bool FaultyFileOps::makeSureDirectoryPathExists(const QString &folderPath)
{
    enter(QStringLiteral("mkdir"), folderPath);
    return HostFileOps::makeSureDirectoryPathExists(folderPath);
}

bool FaultyFileOps::sameFile(const QString &a, const QString &b)
{
    enter(QStringLiteral("same"), a);
    return HostFileOps::sameFile(a, b);
}

QString FaultyFileOps::stageCopy(const QString &from, const QString &target)
{
    enter(QStringLiteral("stage"), target);
    return HostFileOps::stageCopy(from, target);
}

bool FaultyFileOps::swapIntoPlace(const QString &staged, const QString &target)
{
    enter(QStringLiteral("swap"), target);
    return HostFileOps::swapIntoPlace(staged, target);
}

void FaultyFileOps::swapBack(const QString &staged, const QString &target, bool hadPrevious)
{
    enter(QStringLiteral("swapBack"), target);
    HostFileOps::swapBack(staged, target, hadPrevious);
}

QString FaultyFileOps::moveAside(const QString &target)
{
    enter(QStringLiteral("aside"), target);
    return HostFileOps::moveAside(target);
}

void FaultyFileOps::moveBack(const QString &aside, const QString &target)
{
    enter(QStringLiteral("moveBack"), target);
    HostFileOps::moveBack(aside, target);
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
