#include "ServiceStart.h"

#include <utility>

namespace zdb {

void ServiceStart::arm(std::function<bool()> sequence)
{
    const std::lock_guard lock(mutex_);
    sequence_ = std::move(sequence);
    phase_ = Phase::Stopping;
    down_.start();
}

void ServiceStart::stopped()
{
    const std::lock_guard lock(mutex_);
    if (phase_ == Phase::Stopping)
        phase_ = Phase::Down;
}

bool ServiceStart::runHere(std::unique_lock<std::mutex> &lock)
{
    phase_ = Phase::Starting;
    lock.unlock();
    bool ok = false;
    try {
        ok = sequence_();
    } catch (...) {
        ok = false;
    }
    lock.lock();
    ok_ = ok;
    downtimeMs_ = down_.elapsed();
    phase_ = Phase::Started;
    done_.notify_all();
    return ok;
}

bool ServiceStart::run()
{
    std::unique_lock lock(mutex_);
    switch (phase_) {
    case Phase::Up: return true; // never stopped here
    case Phase::Stopping:
    case Phase::Down: return runHere(lock);
    case Phase::Starting: done_.wait(lock, [this] { return phase_ == Phase::Started; }); break;
    case Phase::Started: break;
    }
    return ok_;
}

bool ServiceStart::force(const QString &reason)
{
    std::unique_lock lock(mutex_);
    if (phase_ != Phase::Down)
        return false;
    forced_ = true;
    reason_ = reason;
    runHere(lock);
    return true;
}

qint64 ServiceStart::downForMs() const
{
    const std::lock_guard lock(mutex_);
    return phase_ == Phase::Down ? down_.elapsed() : -1;
}

bool ServiceStart::commandRunning() const
{
    const std::lock_guard lock(mutex_);
    return phase_ == Phase::Stopping || phase_ == Phase::Starting;
}

bool ServiceStart::forced() const
{
    const std::lock_guard lock(mutex_);
    return forced_;
}

QString ServiceStart::forcedReason() const
{
    const std::lock_guard lock(mutex_);
    return reason_;
}

qint64 ServiceStart::downtimeMs() const
{
    const std::lock_guard lock(mutex_);
    return downtimeMs_;
}

bool ServiceStart::armed() const
{
    const std::lock_guard lock(mutex_);
    return phase_ != Phase::Up;
}

bool ServiceStart::started() const
{
    const std::lock_guard lock(mutex_);
    return phase_ == Phase::Started && ok_;
}

} // namespace zdb
