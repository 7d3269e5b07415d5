#include "ServiceManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zdb {

namespace {

// The exit status of a name the service manager cannot take, as it gives
// for a name it does not know.
constexpr int kRefusedName = 2;
// A state query is quick; one that hangs must not hold the run.
constexpr int kStateTimeLimitMs = 30 * 1000;
// After SIGTERM, what a timed-out command started has this long to end.
constexpr int kTermGraceMs = 2000;

bool adopting = false;

// Our standard error, unless it is a pipe: a reader that has gone would end
// a printing command with SIGPIPE, and a daemon it starts would hold the pipe.
bool outputToStandardError()
{
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && !S_ISFIFO(st.st_mode);
}

// Parent of every process now alive, from /proc.
QHash<pid_t, pid_t> parents(QHash<pid_t, bool> *zombie)
{
    QHash<pid_t, pid_t> out;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.read(1024);
        // "pid (name) state ppid ...": the name may hold blanks and brackets.
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (close < 0 || fields.size() < 2)
            continue;
        out.insert(pid, pid_t(fields[1].toInt()));
        zombie->insert(pid, fields[0] == "Z");
    }
    return out;
}

// The live processes of a command's tree: the command and its descendants,
// and, where orphans come to us, our children that were not there before it.
QList<pid_t> treeOf(pid_t command, const QList<pid_t> &childrenBefore, QList<pid_t> *ownZombies)
{
    QHash<pid_t, bool> zombie;
    const QHash<pid_t, pid_t> parent = parents(&zombie);
    QList<pid_t> roots{command};
    if (adopting)
        for (auto it = parent.cbegin(); it != parent.cend(); ++it)
            if (it.value() == ::getpid() && it.key() != command && !childrenBefore.contains(it.key()))
                roots << it.key();
    QList<pid_t> tree;
    for (qsizetype i = 0; i < roots.size(); ++i) {
        const pid_t p = roots[i];
        if (tree.contains(p))
            continue;
        tree << p;
        for (auto it = parent.cbegin(); it != parent.cend(); ++it)
            if (it.value() == p)
                roots << it.key();
    }
    QList<pid_t> alive;
    for (pid_t p : std::as_const(tree)) {
        if (!zombie.value(p, true))
            alive << p;
        else if (p != command && parent.value(p) == ::getpid())
            *ownZombies << p;
    }
    return alive;
}

QList<pid_t> ourChildren()
{
    QHash<pid_t, bool> zombie;
    const QHash<pid_t, pid_t> parent = parents(&zombie);
    QList<pid_t> out;
    for (auto it = parent.cbegin(); it != parent.cend(); ++it)
        if (it.value() == ::getpid())
            out << it.key();
    return out;
}

// Ends a command with everything it started, its own session and any
// process that left it included: asked first, then made, within a bound.
void endTree(QProcess &process, const QList<pid_t> &childrenBefore)
{
    const pid_t command = pid_t(process.processId());
    QElapsedTimer since;
    since.start();
    int sig = SIGTERM;
    for (bool first = true;; first = false) {
        QList<pid_t> zombies;
        const QList<pid_t> tree = treeOf(command, childrenBefore, &zombies);
        for (pid_t p : zombies)
            ::waitpid(p, nullptr, WNOHANG); // the command itself is QProcess's to reap
        if (tree.isEmpty() || since.hasExpired(kTermGraceMs + 3000))
            break;
        if (sig == SIGTERM && since.hasExpired(kTermGraceMs))
            sig = SIGKILL;
        if (first || sig == SIGKILL) {
            for (pid_t p : tree)
                ::kill(p, sig);
            ::kill(-command, sig); // its session's group, whatever /proc missed
        }
        process.waitForFinished(50);
    }
    process.waitForFinished(1000);
}

// From "ActiveState=…" and "LoadState=…" lines.
ServiceState stateFromSystemd(const QByteArray &out)
{
    QByteArray active, load;
    for (const QByteArray &line : out.split('\n')) {
        if (line.startsWith("ActiveState="))
            active = line.mid(12).trimmed();
        if (line.startsWith("LoadState="))
            load = line.mid(10).trimmed();
    }
    if (load == "not-found")
        return ServiceState::Missing;
    if (active == "active" || active == "activating" || active == "reloading" || active == "refreshing")
        return ServiceState::Running;
    if (active == "inactive" || active == "failed" || active == "deactivating" || active == "maintenance")
        return ServiceState::Stopped;
    return ServiceState::Unknown;
}

} // namespace

ServiceResult runCommand(const QString &program, const QStringList &arguments, int timeLimitMs, QByteArray *output)
{
    const bool toStandardError = outputToStandardError();
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // No terminal for password prompts.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(output ? QProcess::ForwardedErrorChannel : QProcess::ForwardedChannels);
    const bool keepOutput = output != nullptr;
    process.setChildProcessModifier([toStandardError, keepOutput] {
        // A session of its own: no terminal's signals, and one group to end.
        ::setsid();
        const int log = toStandardError ? STDERR_FILENO : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (!keepOutput)
            ::dup2(log, STDOUT_FILENO);
        if (log != STDERR_FILENO)
            ::dup2(log, STDERR_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
    });
    const QList<pid_t> before = adopting ? ourChildren() : QList<pid_t>{};
    process.start();
    if (!process.waitForStarted(30000))
        return {ServiceResult::NotLaunched, -1};
    return awaitCommand(process, timeLimitMs, output, [&] { endTree(process, before); });
}

bool serviceNamesHoldBlanks() { return false; }

QString canonicalUnitName(const QString &name)
{
    const QString suffix = QStringLiteral(".service");
    return name.endsWith(suffix) && name.size() > suffix.size() ? name.chopped(suffix.size()) : name;
}

void adoptOrphanedDescendants() { adopting = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

HostServiceManager::HostServiceManager(QString systemdMarker) : systemd_(QFileInfo(systemdMarker).isDir()) {}

ServiceResult HostServiceManager::stop(const QString &unit) { return change(QStringLiteral("stop"), unit); }

ServiceResult HostServiceManager::start(const QString &unit) { return change(QStringLiteral("start"), unit); }

ServiceResult HostServiceManager::change(const QString &verb, const QString &unit)
{
    // "--" ends the options: a name beginning with "-" stays a unit name.
    if (systemd_)
        return runCommand(QStringLiteral("systemctl"), {verb, QStringLiteral("--"), unit}, timeLimitMs_);
    // service takes the name before its verb and has no "--"; a name it
    // would read as an option or a path is refused unrun.
    if (unit.isEmpty() || unit.startsWith(u'-') || unit.contains(u'/'))
        return {ServiceResult::Failed, kRefusedName};
    return runCommand(QStringLiteral("service"), {unit, verb}, timeLimitMs_);
}

ServiceState HostServiceManager::state(const QString &unit)
{
    const int limit = timeLimitMs_ > 0 ? std::min(timeLimitMs_, kStateTimeLimitMs) : kStateTimeLimitMs;
    if (systemd_) {
        QByteArray out;
        const ServiceResult r =
            runCommand(QStringLiteral("systemctl"),
                       {QStringLiteral("show"), QStringLiteral("-p"), QStringLiteral("ActiveState"),
                        QStringLiteral("-p"), QStringLiteral("LoadState"), QStringLiteral("--"), unit},
                       limit, &out);
        return r.ok() ? stateFromSystemd(out) : ServiceState::Unknown;
    }
    if (unit.isEmpty() || unit.startsWith(u'-') || unit.contains(u'/'))
        return ServiceState::Unknown;
    // The init scripts' status: 0 running, 2 and 3 not running; 1 is also
    // what service(8) gives for a name it does not know.
    const ServiceResult r = runCommand(QStringLiteral("service"), {unit, QStringLiteral("status")}, limit);
    if (r.ok())
        return ServiceState::Running;
    if (r.kind == ServiceResult::Failed && (r.status == 2 || r.status == 3))
        return ServiceState::Stopped;
    return ServiceState::Unknown;
}

} // namespace zdb
