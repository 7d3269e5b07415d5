#pragma once

#include <functional>

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

namespace zdb {

// How a stop or start asked of the service manager ended.
struct ServiceResult {
    enum Kind {
        Ok, // the manager says it is done
        Failed, // it said no: status is its exit status, -1 for a signal
        TimedOut, // it did not end within the time limit and was ended
        NotLaunched, // the manager could not be run at all
    };
    Kind kind = Ok;
    int status = 0;
    bool ok() const { return kind == Ok; }
};

enum class ServiceState {
    Running, // up, or coming up
    Stopped, // down, failed, or going down
    Missing, // the manager has no such unit
    Unknown, // the manager could not tell
};

// The machine's service manager, asked about one unit at a time. Names are
// checked by the caller: one word, no leading "-", no pattern characters.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    virtual ServiceResult stop(const QString &unit) = 0;
    virtual ServiceResult start(const QString &unit) = 0;
    virtual ServiceState state(const QString &unit) = 0;
    // A stop or start still running after this many milliseconds is ended
    // with everything it started; 0 or less: no limit.
    void setTimeLimit(int ms) { timeLimitMs_ = ms; }
    int timeLimit() const { return timeLimitMs_; }

protected:
    int timeLimitMs_ = 0;
};

// systemctl where systemd runs the machine, else service(8)
// (ServiceManager_unix.cpp). Commands get no standard input and write to our
// standard error unless that is a pipe, which a reader may leave; they run in
// a session of their own.
class HostServiceManager : public ServiceManager {
public:
    // systemdMarker: the folder whose presence means systemd runs the machine.
    explicit HostServiceManager(QString systemdMarker = QStringLiteral("/run/systemd/system"));
    ServiceResult stop(const QString &unit) override;
    ServiceResult start(const QString &unit) override;
    ServiceState state(const QString &unit) override;

private:
    ServiceResult change(const QString &verb, const QString &unit);
    bool systemd_;
};

// A command run to its end within a time limit (0: none), in a session of its
// own; at the limit it and all it started are ended. The output is kept when
// output is given, else it goes where the service commands' goes.
ServiceResult runCommand(const QString &program, const QStringList &arguments, int timeLimitMs,
                         QByteArray *output = nullptr);

// Waits for a started command to end within a time limit (0: none), the
// window painted meanwhile; at the limit `endAll` ends it and all it started.
ServiceResult awaitCommand(QProcess &process, int timeLimitMs, QByteArray *output, const std::function<void()> &endAll);

// Whether the host's service names may hold blanks: Windows' display names
// do ("SQL Server (MSSQLSERVER)"), a unit's name does not.
bool serviceNamesHoldBlanks();

// The name a unit is known by for locks and marks: "NAME" and "NAME.service"
// are one unit.
QString canonicalUnitName(const QString &name);

// From here on, what a command started and left behind becomes this
// process's child rather than init's, so that a time limit can end it too.
// Only for processes that start nothing else that outlives them.
void adoptOrphanedDescendants();

} // namespace zdb
