#include "CommandShell.h"

#include "PlatformError.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <unistd.h>

namespace zdb {

namespace {

// The exit status of a name the service manager cannot take, as NET gives
// for an invalid service name.
constexpr int kRefusedName = 2;

class UnixCommandShell : public CommandShell {
public:
    explicit UnixCommandShell(bool systemd) : systemd_(systemd) {}

    int run(const QString &commandLine, int, bool wait) override
    {
        const HostCommand command = translateCommandLine(commandLine, systemd_);
        if (command.program.isEmpty())
            return command.refusedStatus;
        if (!wait) {
            if (!QProcess::startDetached(command.program, command.arguments))
                throw PlatformError(kErrFileNotFound);
            return 0;
        }
        QProcess process;
        // No terminal for password prompts; output goes where ours goes.
        process.setStandardInputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        // A group of its own, so that a hung command ends with all it started.
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        process.start(command.program, command.arguments);
        if (!process.waitForStarted(-1))
            throw PlatformError(kErrFileNotFound);
        QElapsedTimer running;
        running.start();
        // Short slices keep the window painted; its input waits until the
        // command has ended, so nothing else happens in between.
        while (!process.waitForFinished(20)) {
            if (process.state() == QProcess::NotRunning)
                break;
            if (timeLimitMs_ > 0 && running.hasExpired(timeLimitMs_)) {
                endGroup(process);
                return kCommandTimedOut;
            }
            if (QCoreApplication::instance())
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
        if (process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

private:
    // Asks the whole group to end, then makes it.
    static void endGroup(QProcess &process)
    {
        const pid_t group = pid_t(process.processId());
        ::kill(-group, SIGTERM);
        process.waitForFinished(2000);
        // What the command started may outlive it: none of the group stays.
        ::kill(-group, SIGKILL);
        process.waitForFinished(-1);
    }

    bool systemd_;
};

} // namespace

HostCommand translateCommandLine(const QString &commandLine, bool systemd)
{
    // Words are separated by blanks only; a name with blanks is several words.
    const QStringList words = commandLine.split(u' ', Qt::SkipEmptyParts);
    if (words.size() < 2 || words[0].compare(u"NET", Qt::CaseInsensitive) != 0)
        throw PlatformError(kErrFileNotFound);
    QString verb;
    if (words[1].compare(u"STOP", Qt::CaseInsensitive) == 0)
        verb = QStringLiteral("stop");
    else if (words[1].compare(u"START", Qt::CaseInsensitive) == 0)
        verb = QStringLiteral("start");
    else
        throw PlatformError(kErrFileNotFound);
    const QStringList names = words.mid(2);

    HostCommand out;
    if (systemd) {
        // "--" ends the options: a name beginning with "-" stays a unit name.
        out.program = QStringLiteral("systemctl");
        out.arguments = QStringList{verb, QStringLiteral("--")} + names;
        return out;
    }
    // service takes one name before its verb and has no "--"; a name it
    // would read as an option or a path is refused unrun.
    if (names.size() != 1 || names[0].startsWith(u'-') || names[0].contains(u'/')) {
        out.refusedStatus = kRefusedName;
        return out;
    }
    out.program = QStringLiteral("service");
    out.arguments = QStringList{names[0], verb};
    return out;
}

HostCommandShellFactory::HostCommandShellFactory(QString systemdMarker) : systemdMarker_(std::move(systemdMarker)) {}

std::unique_ptr<CommandShell> HostCommandShellFactory::create()
{
    return std::make_unique<UnixCommandShell>(QFileInfo(systemdMarker_).isDir());
}

} // namespace zdb
