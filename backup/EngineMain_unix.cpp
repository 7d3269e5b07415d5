#include "EngineMain.h"

#include "EngineSignals.h"
#include "FileDigest.h"
#include "FileOps.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"
#include "Text.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zdb {

namespace {

// Writes events to the window without ever waiting on it: a window that has
// gone or stopped reading must not hold the database down. Progress is
// dropped while earlier lines wait; everything else is kept in order.
class EventWriter {
public:
    // The pipe leaves standard output for a descriptor that nothing started
    // from here inherits: a command or a daemon holding it would write into
    // the window's events, or keep the window from seeing the end.
    EventWriter() : fd_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3))
    {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd_ < 0 || null < 0) {
            gone_ = true;
        } else {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDIN_FILENO);
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        }
        if (null >= 0)
            ::close(null);
    }
    ~EventWriter()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;

    void write(const RunEvent &event)
    {
        if (gone_)
            return;
        if (event.kind == RunEvent::Progress && !pending_.isEmpty() && !flush())
            return;
        pending_ += encodeEvent(event);
        flush();
    }
    // At the end: a reader still there gets every line, within a bound.
    void finish()
    {
        for (int waited = 0; !gone_ && !pending_.isEmpty() && waited < 60000; waited += 100) {
            if (flush())
                break;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    bool gone() const { return gone_; }

private:
    bool flush()
    {
        while (!pending_.isEmpty()) {
            const ssize_t n = ::write(fd_, pending_.constData(), size_t(pending_.size()));
            if (n > 0) {
                pending_.remove(0, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return false;
            gone_ = true; // EPIPE: the window has gone
            pending_.clear();
            return false;
        }
        return true;
    }

    int fd_;
    QByteArray pending_;
    bool gone_ = false;
};

} // namespace

bool runWithHostServices(const BackupRequest &request, const BackupEngine::Sink &sink, HistoryRecord *record)
{
    catchEndingSignals();
    adoptOrphanedDescendants();
    HostFileOps files;
    HostServiceManager manager;
    HostRunLock lock;
    RunRecords records(RunRecords::defaultFolder());
    EngineServices services{files, manager, lock, records, [](int ms) { QThread::msleep(ulong(ms)); }};
    services.abandoned = endingSignalArrived;
    services.commandTimeLimitMs = commandTimeLimitFromEnvironment();

    HistoryRecord r;
    r.start = QDateTime::currentDateTimeUtc();
    r.settingsNumber = request.settingsNumber;
    r.row = request.row;
    r.service = trimSpaces(request.serviceName);
    r.dataTarget = request.dataTarget;
    r.logTarget = request.logTarget;
    // Read while the lock still keeps the next run away; the service runs
    // again by then, so this costs no downtime.
    services.committed = [&]() noexcept {
        try {
            // Where the copies went: a link at a target stays the operator's.
            r.dataFile = files.resolveTarget(request.dataTarget);
            r.logFile = files.resolveTarget(request.logTarget);
            r.data = digestFile(r.dataFile);
            r.log = digestFile(r.logFile);
            r.hasLog = r.log.error != ENOENT; // a pair without a log copy has none
        } catch (...) {
            r.data.error = ENOMEM;
        }
    };
    // Stands for the run until it ends: a run killed on its way still shows.
    HistoryRecord opened = r;
    opened.end = r.start;
    opened.open = true;
    nameThisRun(&opened);
    opened.finalText = QString::fromUtf8(kMsgRunCutShort);
    // Said before anything is stopped; the backup itself goes on.
    if (QString fault; !RunHistory(records.folder()).append(opened, &fault))
        sink(RunEvent::message(QStringLiteral("エラーです。実行の記録を書き込めません。") + u'\r' + fault));
    BackupEngine engine(services, [&](const RunEvent &event) {
        if (event.kind == RunEvent::Message)
            r.messages << event.text;
        if (event.kind == RunEvent::Stage)
            r.finalText = event.text;
        sink(event);
    });
    r.ok = engine.run(request);
    r.end = QDateTime::currentDateTimeUtc();
    r.downtimeMs = engine.facts().downtimeMs;
    r.committed = engine.facts().committed;
    r.noLog = engine.facts().noLogSource;
    RunHistory(records.folder()).append(r);
    if (record)
        *record = r;
    return r.ok;
}

int runEngineProcess()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return 2;
    const auto request = decodeRequest(in.readLine(1 << 20));
    in.close();
    if (!request)
        return 2;
    EventWriter out;
    RunRecords records(RunRecords::defaultFolder());
    RunRecords::Outcome outcome;
    const bool ok = runWithHostServices(*request, [&](const RunEvent &event) {
        if (event.kind == RunEvent::Message)
            outcome.messages << event.text;
        if (event.kind == RunEvent::Stage)
            outcome.finalText = event.text;
        // Kept before the window hears of the end; the window forgets it once shown.
        if (event.kind == RunEvent::Finished)
            records.keepOutcome(outcome);
        out.write(event);
    });
    out.finish();
    return ok ? 0 : 1;
}

} // namespace zdb
