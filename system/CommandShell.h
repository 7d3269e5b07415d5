#pragma once

#include <QString>
#include <QStringList>
#include <limits>
#include <memory>

namespace zdb {

// Runs a command line and gives its exit status, 0 meaning success.
class CommandShell {
public:
    virtual ~CommandShell() = default;
    // windowStyle is the style of the command's window where the platform
    // shows one. With wait, returns once the command has ended; without it,
    // returns 0 once the command has started. A command that cannot be
    // started throws PlatformError.
    virtual int run(const QString &commandLine, int windowStyle, bool wait) = 0;
    // A waited-for command still running after this many milliseconds is
    // ended with its process group; run then gives kCommandTimedOut.
    // 0 or less: no limit.
    void setTimeLimit(int ms) { timeLimitMs_ = ms; }
    int timeLimit() const { return timeLimitMs_; }

protected:
    int timeLimitMs_ = 0;
};

// The status of a command that did not end within its time limit.
inline constexpr int kCommandTimedOut = std::numeric_limits<int>::min();

// Creates command shells; the window creates one per use and releases it.
class CommandShellFactory {
public:
    virtual ~CommandShellFactory() = default;
    // Throws PlatformError when no shell can be created.
    virtual std::unique_ptr<CommandShell> create() = 0;
};

// The host's service commands. On Linux "NET STOP name" and "NET START name"
// become the service manager's stop and start (CommandShell_unix.cpp).
class HostCommandShellFactory : public CommandShellFactory {
public:
    // systemdMarker: the folder whose presence means systemd runs the machine.
    explicit HostCommandShellFactory(QString systemdMarker = QStringLiteral("/run/systemd/system"));
    std::unique_ptr<CommandShell> create() override;

private:
    QString systemdMarker_;
};

// What a command line becomes on this host: a program with its arguments,
// or, with no program, a refusal that ends with refusedStatus unrun.
struct HostCommand {
    QString program;
    QStringList arguments;
    int refusedStatus = 0;
};
// Throws PlatformError (53) for a command the host does not have.
HostCommand translateCommandLine(const QString &commandLine, bool systemd);

} // namespace zdb
