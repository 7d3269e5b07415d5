#include "InProcessBackups.h"

#include "RunLock.h"
#include "RunRecords.h"

#include <QTimer>

namespace zdb::test {

namespace {

class QueuedChannel : public RunChannel {
public:
    explicit QueuedChannel(QList<RunEvent> events, int dieAfter) : events_(std::move(events))
    {
        if (dieAfter >= 0)
            events_ = events_.mid(0, dieAfter);
        QTimer::singleShot(0, this, [this] { next(); });
    }

private:
    void next()
    {
        if (events_.isEmpty()) {
            end();
            return;
        }
        push(events_.takeFirst());
        QTimer::singleShot(0, this, [this] { next(); });
    }
    QList<RunEvent> events_;
};

} // namespace

std::unique_ptr<RunChannel> InProcessBackups::start(const BackupRequest &request)
{
    requests << request;
    QList<RunEvent> events;
    if (scripted) {
        events = *scripted;
    } else {
        BackupEngine engine(services_, [&](const RunEvent &e) { events << e; });
        engine.run(request);
    }
    return std::make_unique<QueuedChannel>(events, dieAfter);
}

QStringList InProcessBackups::servicesLeftDown()
{
    QStringList left;
    for (const QString &s : services_.records.servicesMarkedDown())
        if (!aliveServices.contains(s))
            left << s;
    return left;
}

void InProcessBackups::forgetServiceDown(const QString &service) { services_.records.clearServiceDown(service); }

LeftDownStart InProcessBackups::startService(const QString &service)
{
    return startLeftDown(service, services_.records, services_.manager, services_.runLock);
}

bool InProcessBackups::takeOutcome(RunRecords::Outcome *outcome) { return services_.records.takeOutcome(outcome); }

void InProcessBackups::forgetOutcome()
{
    ++outcomeForgotten;
    services_.records.forgetOutcome();
}

} // namespace zdb::test
