#pragma once

#include <QByteArray>
#include <QString>

namespace zdb {

// Keeps two runs on the same database service from overlapping.
class RunLock {
public:
    virtual ~RunLock() = default;
    // False when another holder has the lock of this service. Throws
    // PlatformError when the lock itself cannot be reached.
    virtual bool tryAcquire(const QString &serviceName) = 0;
    virtual void release() = 0;
};

// One run per service name on the machine, for all its users
// (RunLock_unix.cpp): an abstract Unix socket name, bound while held. It has
// no file, so no permission, sysctl or planted file can break or block it,
// and the kernel frees it with the process, so a killed run never blocks the
// next one.
class HostRunLock : public RunLock {
public:
    HostRunLock() = default;
    // Tests lock within a scope of their own, so that test runs side by side
    // on one machine never meet.
    explicit HostRunLock(const QString &scope);
    ~HostRunLock() override;
    HostRunLock(const HostRunLock &) = delete;
    HostRunLock &operator=(const HostRunLock &) = delete;

    bool tryAcquire(const QString &serviceName) override;
    void release() override;

private:
    QByteArray scope_;
    QByteArray held_; // the socket name while held
    int fd_ = -1;
};

} // namespace zdb
